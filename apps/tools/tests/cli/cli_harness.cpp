#include "cli_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "dat/archive.h"

extern char** environ;

namespace cli_testing {

namespace {

// Reads from every open descriptor until each reports end of file (or, for
// a pseudo-terminal master, EIO once the child's side is closed).
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  struct Stream {
    int fd;
    std::string* sink;
  };
  std::vector<Stream> open_streams = {{out_fd, &out}, {err_fd, &err}};
  char buffer[65536];
  while (!open_streams.empty()) {
    std::vector<pollfd> fds;
    for (const auto& s : open_streams) fds.push_back({s.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        open_streams[i].sink->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open_streams.erase(open_streams.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

}  // namespace

RunResult run(const std::string& exe, const std::vector<std::string>& args, Stderr mode) {
  RunResult result;
  int out_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  int err_read = -1;
  int err_write = -1;
  if (mode == Stderr::Pipe) {
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return result;
    }
    err_read = err_pipe[0];
    err_write = err_pipe[1];
  } else {
    if (::openpty(&err_read, &err_write, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return result;
    }
    ::fcntl(err_read, F_SETFD, FD_CLOEXEC);
    ::fcntl(err_write, F_SETFD, FD_CLOEXEC);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write, STDERR_FILENO);

  std::vector<std::string> argv_text = {exe};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_write);
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_read);
    ADD_FAILURE() << "posix_spawn " << exe << ": " << std::strerror(spawned);
    return result;
  }
  drain(out_pipe[0], err_read, result.out, result.err);
  ::close(out_pipe[0]);
  ::close(err_read);

  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.status = 128 + WTERMSIG(wstatus);
  }
  return result;
}

RunResult dat_shard(const std::vector<std::string>& args, Stderr mode) { return run(DAT_SHARD_EXE, args, mode); }
RunResult dat_synth(const std::vector<std::string>& args) { return run(DAT_SYNTH_EXE, args); }

std::string describe(const RunResult& result) {
  std::ostringstream s;
  s << "exit status " << result.status << "\n--- stdout ---\n"
    << result.out.substr(0, 4000) << "\n--- stderr ---\n"
    << result.err.substr(0, 4000);
  return s.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(line);
  }
  return result;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "cli-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

const std::vector<FixtureRecord>& fixture_records() {
  static const std::vector<FixtureRecord> records = {
      {"eor/portal", 0x0E000002, "chargen-stub"},      {"eor/portal", 0x01000827, "model-a-bytes-XXXXXX"},
      {"eor/portal", 0x01000828, "model-a-bytes-XXXXXX"}, {"eor/cell", 0xA9B4FFFF, "cell-a9b4-terrain"},
      {"eor/cell", 0xA9B4FFFE, "cell-a9b4-info"},       {"eor/cell", 0xA8B3FFFF, "cell-a8b3-terrain"},
      {"eor/cell", 0x0000FFFF, "cell-far"},
  };
  return records;
}

std::vector<uint8_t> to_bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void write_archive(const fs::path& path, const std::vector<ArchiveRecord>& records) {
  auto writer = dat::QraStreamWriter::create(path);
  ASSERT_TRUE(writer) << writer.error().to_string();
  for (const auto& r : records) {
    auto added = writer->add(r.ns, r.id, 0, r.body);
    ASSERT_TRUE(added) << added.error().to_string();
  }
  auto finished = std::move(*writer).finish();
  ASSERT_TRUE(finished) << finished.error().to_string();
}

void write_fixture(const fs::path& path) {
  std::vector<ArchiveRecord> records;
  for (const auto& r : fixture_records()) records.push_back({r.ns, r.id, to_bytes(r.body)});
  write_archive(path, records);
}

void write_synth(const fs::path& dir) {
  const RunResult r = dat_synth({"--out-dir", dir.string()});
  ASSERT_EQ(r.status, 0) << describe(r);
}

std::vector<std::string> synth_inputs(const fs::path& dir) {
  return {"--eor-portal", (dir / "portal.dat").string(), "--eor-cell", (dir / "cell.dat").string(),
          "--eor-local", (dir / "local.dat").string()};
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) {
  const auto bytes = read_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void write_text(const fs::path& path, const std::string& text) { write_bytes(path, to_bytes(text)); }

void flip_byte(const fs::path& path, int64_t offset) {
  auto bytes = read_bytes(path);
  ASSERT_FALSE(bytes.empty()) << path;
  const auto at = offset < 0 ? bytes.size() - static_cast<size_t>(-offset) : static_cast<size_t>(offset);
  ASSERT_LT(at, bytes.size()) << path;
  bytes[at] ^= 0xFF;
  write_bytes(path, bytes);
}

}  // namespace cli_testing
