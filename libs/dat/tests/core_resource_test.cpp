#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dat/resource.h"

namespace dat {
namespace {

ResourceNamespace::Bytes stored(std::initializer_list<uint8_t> prefix) {
  ResourceNamespace::Bytes out{};
  std::copy(prefix.begin(), prefix.end(), out.begin());
  return out;
}

ResourceNamespace::Bytes stored(std::string_view label) {
  ResourceNamespace::Bytes out{};
  std::memcpy(out.data(), label.data(), label.size());
  return out;
}

ResourceNamespace make(std::string_view label) {
  auto ns = ResourceNamespace::create(label);
  EXPECT_TRUE(ns.has_value()) << ns.error().to_string();
  return *ns;
}

TEST(ResourceNamespace, LabelOfExactlyThirtyTwoBytesFillsTheField) {
  const std::string label = "eor/" + std::string(27, 'p') + "Z";
  ASSERT_EQ(label.size(), 32u);
  const auto ns = make(label);
  EXPECT_EQ(std::count(ns.bytes().begin(), ns.bytes().end(), 0), 0);
  EXPECT_EQ(ns.as_str(), label);
  auto back = ResourceNamespace::from_bytes(ns.bytes());
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, ns);
  EXPECT_EQ(back->as_str(), label);
}

TEST(ResourceNamespace, StoredFormIsLabelThenZeros) {
  const auto ns = make("eor/cell");
  EXPECT_EQ(ns.bytes(), stored("eor/cell"));
  EXPECT_EQ(ns.as_str(), "eor/cell");
  EXPECT_EQ(ns.as_str().size(), 8u);
}

TEST(ResourceNamespace, AnyNonEmptyUtf8WithoutNulIsAccepted) {
  for (std::string_view label : {"a", "Eor/Portal", "with space", "caf\xC3\xA9", "\xF0\x9F\x98\x80", "a/b/c\\d"}) {
    const auto ns = make(label);
    EXPECT_EQ(ns.as_str(), label);
    auto back = ResourceNamespace::from_bytes(ns.bytes());
    ASSERT_TRUE(back) << label;
    EXPECT_EQ(back->as_str(), label);
  }
}

TEST(ResourceNamespace, CreateRefusesBadLabelsInOrder) {
  const std::string ascii33(33, 'a');
  const std::string chars32_bytes33 = std::string(31, 'a') + "\xC3\xA9";  // 32 characters, 33 bytes
  const std::string nul_inside("eor\0cell", 8);
  const std::string long_with_nul = std::string(20, 'a') + std::string(1, '\0') + std::string(20, 'b');
  const std::pair<std::string, std::string> cases[] = {
      {"", "namespace label cannot be empty"},
      {ascii33, "namespace label '" + ascii33 + "' exceeds 32 bytes"},
      {chars32_bytes33, "namespace label '" + chars32_bytes33 + "' exceeds 32 bytes"},
      {nul_inside, "namespace label '" + nul_inside + "' contains a NUL byte"},
      {std::string(1, '\0'), "namespace label '" + std::string(1, '\0') + "' contains a NUL byte"},
      {long_with_nul, "namespace label '" + long_with_nul + "' exceeds 32 bytes"},  // length is checked first
      // Text that is not UTF-8 would break as_str, so it is refused like stored bytes are.
      {"\xFF", "namespace bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& [label, message] : cases) {
    auto ns = ResourceNamespace::create(label);
    ASSERT_FALSE(ns) << message;
    EXPECT_EQ(ns.error().kind(), DatError::Kind::InvalidNamespace);
    EXPECT_EQ(ns.error().text(), message);
    EXPECT_EQ(ns.error().to_string(), "Invalid namespace: " + message);
  }
}

TEST(ResourceNamespace, FromBytesRefusesBadStoredForms) {
  const std::string zero_fill = "namespace bytes must be zero-padded without embedded trailing data";
  const std::string utf8 = "namespace bytes are not valid UTF-8: ";
  auto portal_with_stray = stored("eor/portal");
  portal_with_stray[31] = 1;
  const std::pair<ResourceNamespace::Bytes, std::string> cases[] = {
      {stored({'e', 'o', 'r', 0, 'c', 'e', 'l', 'l'}), zero_fill},  // zero then non-zero
      {stored({0, 0, 0, 0, 0, 'x'}), zero_fill},                     // empty label with trailing data
      {portal_with_stray, zero_fill},
      {stored({}), "namespace label cannot be empty"},
      {stored({0xFF}), utf8 + "invalid utf-8 sequence of 1 bytes from index 0"},
      {stored({'a', 'b', 0xC3}), utf8 + "incomplete utf-8 byte sequence from index 2"},
      {stored({0xE2, 0x82, 'A'}), utf8 + "invalid utf-8 sequence of 2 bytes from index 0"},
      {stored({'x', 0xED, 0xA0, 0x80}), utf8 + "invalid utf-8 sequence of 1 bytes from index 1"},  // surrogate
      {stored({0xC0, 0x80}), utf8 + "invalid utf-8 sequence of 1 bytes from index 0"},            // overlong
      {stored({0xE0, 0x80, 0x80}), utf8 + "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {stored({0xF4, 0x90, 0x80, 0x80}), utf8 + "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
      {stored({0xF0, 0x9F, 0x98}), utf8 + "incomplete utf-8 byte sequence from index 0"},
      {stored({0xF0, 0x9F, 0x98, 'A'}), utf8 + "invalid utf-8 sequence of 3 bytes from index 0"},
      {stored({0x80}), utf8 + "invalid utf-8 sequence of 1 bytes from index 0"},  // lone continuation
  };
  for (const auto& [bytes, message] : cases) {
    auto ns = ResourceNamespace::from_bytes(bytes);
    ASSERT_FALSE(ns) << message;
    EXPECT_EQ(ns.error().kind(), DatError::Kind::InvalidNamespace);
    EXPECT_EQ(ns.error().to_string(), "Invalid namespace: " + message);
  }
  // A 32-byte label ending in a cut-off sequence is incomplete, not zero-fill.
  auto cut = stored(std::string(31, 'a'));
  cut[31] = 0xE2;
  EXPECT_EQ(ResourceNamespace::from_bytes(cut).error().text(), utf8 + "incomplete utf-8 byte sequence from index 31");
}

TEST(ResourceNamespace, OrderIsBytewiseUnsignedOverTheStoredForm) {
  const auto cell = make("eor/cell");
  const auto portal = make("eor/portal");
  const auto eor = make("eor");
  EXPECT_LT(cell, portal);
  EXPECT_LT(eor, cell);
  EXPECT_LT(eor, portal);
  EXPECT_LT(make("eor/cell"), make("eor/cellar"));  // a prefix sorts first
  EXPECT_LT(make("A"), make("a"));                  // case-sensitive
  EXPECT_LT(make("z"), make("\xC3\xA9"));           // bytes compare unsigned
  EXPECT_EQ(make("eor/cell"), cell);
  EXPECT_NE(cell, portal);

  std::vector<ResourceNamespace> sorted = {portal, make("\xC3\xA9"), cell, eor, make("Z")};
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string_view> labels;
  for (const auto& ns : sorted) labels.push_back(ns.as_str());
  EXPECT_EQ(labels, (std::vector<std::string_view>{"Z", "eor", "eor/cell", "eor/portal", "\xC3\xA9"}));
}

TEST(ResourceKey, EqualKeysHashAlikeAndOrderByLabelThenId) {
  const ResourceKey a{"eor/cell", 5};
  const ResourceKey b{"eor/cell", 5};
  EXPECT_EQ(a, b);
  EXPECT_EQ(ResourceKeyHash{}(a), ResourceKeyHash{}(b));
  EXPECT_LT((ResourceKey{"eor/cell", 0xFFFFFFFF}), (ResourceKey{"eor/portal", 0}));
  EXPECT_LT((ResourceKey{"eor/cell", 4}), (ResourceKey{"eor/cell", 5}));
  EXPECT_NE((ResourceKey{"eor/cell", 5}), (ResourceKey{"eor/portal", 5}));
}

}  // namespace
}  // namespace dat
