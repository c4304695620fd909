#pragma once
// A JSON document reader for the manifests: parses the whole text into a flat
// tree that keeps every member (duplicates included) and byte offsets, and a
// typed field reader on top of it that produces the manifest error messages.
//
// Positions: every error names the line and column of the last byte the
// reader had consumed when it gave up. For a missing member that is the
// closing brace of the object; for a duplicate member the closing quote of
// the repeated key; for a scalar of the wrong type its last byte; for an
// object or array of the wrong type its opening bracket.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "manifest/manifest.h"

namespace manifest::json_reader {

struct Node {
  enum class Type { Null, Boolean, Unsigned, Integer, Float, String, Object, Array };
  Type type = Type::Null;
  bool boolean = false;
  uint64_t unsigned_value = 0;
  int64_t integer_value = 0;
  std::string text;  // String: the value; Float: the number as written
  struct Member {
    std::string key;
    size_t key_end;  // offset one past the key's closing quote
    size_t value;    // node index
  };
  std::vector<Member> members;  // Object, in document order
  std::vector<size_t> elements;  // Array, node indices in order
  size_t begin = 0;  // offset of the first byte
  size_t end = 0;    // offset one past the last byte
};

// Nodes live in one vector and refer to each other by index, so neither
// building nor destroying a deeply nested document recurses.
struct Document {
  std::string_view text;
  std::vector<Node> nodes;
  size_t root = 0;
  const Node& node(size_t index) const { return nodes[index]; }
};

// Parses `text` (which must outlive the document) as exactly one JSON value.
// Syntax errors come back as Json errors with the reader's position.
std::expected<Document, ManifestError> parse_document(std::string_view text);

using Result = std::expected<void, ManifestError>;

// One member of a record: its name, whether it must be present, and how to
// read its value (given the value's node index).
struct Field {
  const char* name;
  bool required;
  std::function<Result(size_t)> read;
};

class Reader {
 public:
  explicit Reader(const Document& doc) : doc_(doc) {}

  const Document& doc() const { return doc_; }

  // Error at the offset one past the last consumed byte.
  ManifestError error_at(std::string message, size_t end_offset) const;
  // "invalid type: <what the node is>, expected <expected>" at the node.
  ManifestError invalid_type(size_t node, std::string_view expected) const;

  // Reads an object named `expected` ("struct SourceMeta") member by member in
  // document order: known members are read once each (a repeat is a
  // duplicate), others are skipped; then required members that never
  // appeared are reported in declaration order.
  Result read_struct(size_t node, std::string_view expected, std::span<const Field> fields) const;
  Result read_struct(size_t node, std::string_view expected, std::initializer_list<Field> fields) const {
    return read_struct(node, expected, std::span<const Field>(fields.begin(), fields.size()));
  }

  // A member read with the read_* operation that fits `out`'s type and stored
  // there; `out` must outlive the read_struct call that uses the field.
  Field field(const char* name, uint32_t& out) const;
  Field field(const char* name, uint64_t& out) const;
  Field field(const char* name, std::string& out) const;
  Field field(const char* name, std::vector<std::string>& out) const;
  // A member that may be missing or null.
  Field optional_field(const char* name, std::optional<std::string>& out) const;

  std::expected<uint32_t, ManifestError> read_u32(size_t node) const;
  std::expected<uint64_t, ManifestError> read_u64(size_t node) const;
  std::expected<std::string, ManifestError> read_string(size_t node) const;
  std::expected<std::optional<std::string>, ManifestError> read_optional_string(size_t node) const;
  std::expected<std::vector<std::string>, ManifestError> read_string_list(size_t node) const;

 private:
  std::expected<uint64_t, ManifestError> read_unsigned(size_t node, uint64_t max,
                                                       std::string_view expected) const;
  const Document& doc_;
};

}  // namespace manifest::json_reader
