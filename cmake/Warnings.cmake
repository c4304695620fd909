# Warnings for every target of the project; -Werror when TOOLKIT_WERROR is on (CI).
function(toolkit_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference
    -Wimplicit-fallthrough)
  if(TOOLKIT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# One GoogleTest executable per test source; every test runs as its own CTest process.
function(toolkit_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  toolkit_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
