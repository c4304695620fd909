#include "json_reader.h"

#include <iterator>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/io.h"
#include "common/try.h"

namespace manifest::json_reader {

namespace {

// An input iterator over the text that publishes how far the JSON lexer has
// read. The SAX callbacks carry no positions, so the tree builder reads this
// shared pointer instead: when a callback runs, the lexer has consumed exactly
// the token it reports, plus one byte of look-ahead after a number.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, const char** cursor) : at_(at), cursor_(cursor) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    *cursor_ = at_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** cursor_;
};

// 1-based line of the last consumed byte and its 1-based column (in bytes);
// column 0 when nothing was consumed.
std::pair<uint64_t, uint64_t> line_column(std::string_view text, size_t end_offset) {
  if (end_offset > text.size()) end_offset = text.size();
  if (end_offset == 0) return {1, 0};
  const size_t last = end_offset - 1;
  uint64_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < last; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, last - line_start + 1};
}

// nlohmann's what() reads "[json.exception.parse_error.101] parse error at
// line 1, column 2: syntax error while ..."; keep only the description, the
// position is added in our own form.
std::string reader_description(const std::string& what) {
  std::string_view text = what;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  constexpr std::string_view kParsePrefix = "parse error";
  if (text.substr(0, kParsePrefix.size()) == kParsePrefix) {
    const size_t colon = text.find(": ");
    if (colon != std::string_view::npos) text.remove_prefix(colon + 2);
  }
  return std::string(text);
}

class TreeBuilder {
 public:
  using Json = nlohmann::json;

  TreeBuilder(Document& doc, const char* const* cursor) : doc_(doc), cursor_(cursor) {}

  bool null() { return add_scalar(Node{}, consumed()); }
  bool boolean(bool value) {
    Node node;
    node.type = Node::Type::Boolean;
    node.boolean = value;
    return add_scalar(std::move(node), consumed());
  }
  bool number_integer(Json::number_integer_t value) {
    Node node;
    node.type = Node::Type::Integer;
    node.integer_value = value;
    return add_scalar(std::move(node), number_end());
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    Node node;
    node.type = Node::Type::Unsigned;
    node.unsigned_value = value;
    return add_scalar(std::move(node), number_end());
  }
  bool number_float(Json::number_float_t, const Json::string_t& raw) {
    Node node;
    node.type = Node::Type::Float;
    node.text = raw;
    return add_scalar(std::move(node), number_end());
  }
  bool string(Json::string_t& value) {
    Node node;
    node.type = Node::Type::String;
    node.text = std::move(value);
    return add_scalar(std::move(node), consumed());
  }
  bool binary(Json::binary_t&) { return false; }  // not produced by the JSON lexer

  bool start_object(std::size_t) { return open(Node::Type::Object); }
  bool key(Json::string_t& key) {
    pending_key_ = std::move(key);
    pending_key_end_ = consumed();
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Node::Type::Array); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& ex) {
    error_position_ = position;
    error_text_ = reader_description(ex.what());
    failed_ = true;
    return false;
  }

  bool failed() const { return failed_; }
  size_t error_position() const { return error_position_; }
  const std::string& error_text() const { return error_text_; }

 private:
  size_t consumed() const { return static_cast<size_t>(*cursor_ - doc_.text.data()); }

  // After a number the lexer has read one byte past it, unless the number
  // runs to the end of the text.
  size_t number_end() const {
    const size_t at = consumed();
    const std::string_view text = doc_.text;
    if (at == text.size() && at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9') return at;
    return at - 1;
  }

  size_t attach(Node node) {
    const size_t index = doc_.nodes.size();
    doc_.nodes.push_back(std::move(node));
    if (open_.empty()) {
      doc_.root = index;
    } else {
      Node& parent = doc_.nodes[open_.back()];
      if (parent.type == Node::Type::Object) {
        parent.members.push_back({std::move(pending_key_), pending_key_end_, index});
      } else {
        parent.elements.push_back(index);
      }
    }
    return index;
  }

  bool add_scalar(Node node, size_t end) {
    node.end = end;
    node.begin = end;  // only the end of a scalar is ever reported
    attach(std::move(node));
    return true;
  }

  bool open(Node::Type type) {
    Node node;
    node.type = type;
    node.begin = consumed() - 1;
    open_.push_back(attach(std::move(node)));
    return true;
  }

  bool close() {
    doc_.nodes[open_.back()].end = consumed();
    open_.pop_back();
    return true;
  }

  Document& doc_;
  const char* const* cursor_;
  std::vector<size_t> open_;
  std::string pending_key_;
  size_t pending_key_end_ = 0;
  bool failed_ = false;
  size_t error_position_ = 0;
  std::string error_text_;
};

std::string describe(const Node& node) {
  switch (node.type) {
    case Node::Type::Null: return "null";
    case Node::Type::Boolean: return fmt::format("boolean `{}`", node.boolean);
    case Node::Type::Unsigned: return fmt::format("integer `{}`", node.unsigned_value);
    case Node::Type::Integer: return fmt::format("integer `{}`", node.integer_value);
    case Node::Type::Float: return fmt::format("floating point `{}`", node.text);
    case Node::Type::String: return "string " + common::debug_quoted(node.text);
    case Node::Type::Object: return "map";
    case Node::Type::Array: return "sequence";
  }
  return "value";
}

// Where an error about this value is reported: a container's opening bracket
// (the reader looks no further before refusing it), a scalar's last byte.
size_t report_offset(const Node& node) {
  if (node.type == Node::Type::Object || node.type == Node::Type::Array) return node.begin + 1;
  return node.end;
}

bool is_integer_literal(std::string_view raw) {
  if (!raw.empty() && raw.front() == '-') raw.remove_prefix(1);
  if (raw.empty()) return false;
  for (char c : raw) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::expected<Document, ManifestError> parse_document(std::string_view text) {
  Document doc;
  doc.text = text;
  const char* cursor = text.data();
  TreeBuilder builder(doc, &cursor);
  CountingIterator first(text.data(), &cursor);
  CountingIterator last(text.data() + text.size(), &cursor);
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(first, last, &builder);
  } catch (const nlohmann::json::exception& ex) {
    return std::unexpected(ManifestError::json(reader_description(ex.what())));
  }
  if (!ok || builder.failed()) {
    const auto [line, column] = line_column(text, builder.error_position());
    std::string message = builder.failed() ? builder.error_text() : "unexpected binary value";
    return std::unexpected(ManifestError::json_at(std::move(message), line, column));
  }
  return doc;
}

ManifestError Reader::error_at(std::string message, size_t end_offset) const {
  const auto [line, column] = line_column(doc_.text, end_offset);
  return ManifestError::json_at(std::move(message), line, column);
}

ManifestError Reader::invalid_type(size_t node, std::string_view expected) const {
  const Node& n = doc_.node(node);
  return error_at(fmt::format("invalid type: {}, expected {}", describe(n), expected), report_offset(n));
}

Result Reader::read_struct(size_t node, std::string_view expected, std::span<const Field> fields) const {
  const Node& object = doc_.node(node);
  if (object.type != Node::Type::Object) return std::unexpected(invalid_type(node, expected));
  std::vector<bool> seen(fields.size(), false);
  for (const Node::Member& member : object.members) {
    size_t index = 0;
    for (const Field& field : fields) {
      if (member.key == field.name) break;
      ++index;
    }
    if (index == fields.size()) continue;  // unknown members are ignored
    if (seen[index]) {
      return std::unexpected(error_at(fmt::format("duplicate field `{}`", member.key), member.key_end));
    }
    seen[index] = true;
    auto result = fields[index].read(member.value);
    if (!result) return result;
  }
  size_t index = 0;
  for (const Field& field : fields) {
    if (field.required && !seen[index]) {
      return std::unexpected(error_at(fmt::format("missing field `{}`", field.name), object.end));
    }
    ++index;
  }
  return {};
}

namespace {

// Stores what `read` gives for the member's value in `out`.
template <typename T, typename Read>
Field make_field(const char* name, bool required, T& out, Read read) {
  return Field{name, required, [&out, read](size_t node) -> Result {
                 auto value = read(node);
                 if (!value) return std::unexpected(std::move(value).error());
                 out = std::move(*value);
                 return {};
               }};
}

}  // namespace

Field Reader::field(const char* name, uint32_t& out) const {
  return make_field(name, true, out, [this](size_t v) { return read_u32(v); });
}
Field Reader::field(const char* name, uint64_t& out) const {
  return make_field(name, true, out, [this](size_t v) { return read_u64(v); });
}
Field Reader::field(const char* name, std::string& out) const {
  return make_field(name, true, out, [this](size_t v) { return read_string(v); });
}
Field Reader::field(const char* name, std::vector<std::string>& out) const {
  return make_field(name, true, out, [this](size_t v) { return read_string_list(v); });
}
Field Reader::optional_field(const char* name, std::optional<std::string>& out) const {
  return make_field(name, false, out, [this](size_t v) { return read_optional_string(v); });
}

std::expected<uint64_t, ManifestError> Reader::read_unsigned(size_t node, uint64_t max,
                                                             std::string_view expected) const {
  const Node& n = doc_.node(node);
  const auto out_of_range = [&](std::string_view value) {
    return std::unexpected(
        error_at(fmt::format("invalid value: integer `{}`, expected {}", value, expected), n.end));
  };
  switch (n.type) {
    case Node::Type::Unsigned:
      if (n.unsigned_value > max) return out_of_range(fmt::format("{}", n.unsigned_value));
      return n.unsigned_value;
    case Node::Type::Integer:
      // Negative values, and -0 which the lexer also reports as signed.
      if (n.integer_value < 0) return out_of_range(fmt::format("{}", n.integer_value));
      if (static_cast<uint64_t>(n.integer_value) > max) {
        return out_of_range(fmt::format("{}", n.integer_value));
      }
      return static_cast<uint64_t>(n.integer_value);
    case Node::Type::Float:
      // An integer too long for 64 bits reaches us as a float.
      if (is_integer_literal(n.text)) return out_of_range(n.text);
      return std::unexpected(invalid_type(node, expected));
    default:
      return std::unexpected(invalid_type(node, expected));
  }
}

std::expected<uint32_t, ManifestError> Reader::read_u32(size_t node) const {
  auto value = TRY(read_unsigned(node, std::numeric_limits<uint32_t>::max(), "u32"));
  return static_cast<uint32_t>(value);
}

std::expected<uint64_t, ManifestError> Reader::read_u64(size_t node) const {
  return read_unsigned(node, std::numeric_limits<uint64_t>::max(), "u64");
}

std::expected<std::string, ManifestError> Reader::read_string(size_t node) const {
  const Node& n = doc_.node(node);
  if (n.type != Node::Type::String) return std::unexpected(invalid_type(node, "a string"));
  return n.text;
}

std::expected<std::optional<std::string>, ManifestError> Reader::read_optional_string(
    size_t node) const {
  const Node& n = doc_.node(node);
  if (n.type == Node::Type::Null) return std::optional<std::string>();
  if (n.type != Node::Type::String) return std::unexpected(invalid_type(node, "a string"));
  return std::optional<std::string>(n.text);
}

std::expected<std::vector<std::string>, ManifestError> Reader::read_string_list(size_t node) const {
  const Node& n = doc_.node(node);
  if (n.type != Node::Type::Array) return std::unexpected(invalid_type(node, "a sequence"));
  std::vector<std::string> out;
  out.reserve(n.elements.size());
  for (size_t element : n.elements) {
    auto value = read_string(element);
    if (!value) return std::unexpected(std::move(value).error());
    out.push_back(std::move(*value));
  }
  return out;
}

}  // namespace manifest::json_reader
