#include "redis/schema.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/address.hpp"
#include "redis/client.hpp"

namespace korvane::redis {
namespace {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

using Json = nlohmann::json;

// Builds a record from parser events without building a document, so that
// repeated member names (which a document would silently merge) are seen.
// Each open container is a frame; the role of the next value follows from
// the frame it appears in and, in the record object, the last key.
class RecordReader final : public nlohmann::json_sax<Json> {
 public:
  std::optional<Metadata> take() {
    if (!done_) return std::nullopt;
    return Metadata(std::move(value_), std::move(attributes_));
  }

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return false; }

  bool string(string_t& text) override {
    switch (next_role()) {
      case Role::Value: value_ = std::move(text); return true;
      case Role::AttributeValue: attributes_.emplace(std::move(attribute_name_), std::move(text)); return true;
      case Role::Ignored: return true;
      default: return false;
    }
  }

  bool start_object(std::size_t) override {
    switch (next_role()) {
      case Role::Record: frames_.push_back({Frame::RecordObject}); return true;
      case Role::Attributes: frames_.push_back({Frame::Attributes}); return true;
      case Role::Ignored: frames_.push_back({Frame::Ignored}); return true;
      default: return false;
    }
  }

  bool start_array(std::size_t) override {
    switch (next_role()) {
      case Role::Record: frames_.push_back({Frame::RecordArray}); return true;
      case Role::Ignored: frames_.push_back({Frame::Ignored}); return true;
      default: return false;
    }
  }

  bool key(string_t& name) override {
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case Frame::RecordObject:
        if (name == "value") {
          if (frame.seen_value) return false;
          frame.seen_value = true;
          frame.next = Role::Value;
        } else if (name == "attributes") {
          if (frame.seen_attributes) return false;
          frame.seen_attributes = true;
          frame.next = Role::Attributes;
        } else {
          frame.next = Role::Ignored;
        }
        return true;
      case Frame::Attributes:
        if (attributes_.contains(name)) return false;
        attribute_name_ = std::move(name);
        return true;
      default:
        return true;
    }
  }

  bool end_object() override {
    const Frame frame = frames_.back();
    frames_.pop_back();
    if (frame.kind == Frame::RecordObject) {
      if (!frame.seen_value || !frame.seen_attributes) return false;
      done_ = true;
    }
    return true;
  }

  bool end_array() override {
    const Frame frame = frames_.back();
    frames_.pop_back();
    if (frame.kind == Frame::RecordArray) {
      if (frame.elements != 2) return false;
      done_ = true;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  enum class Role : std::uint8_t { Record, Value, Attributes, AttributeValue, Ignored, Invalid };
  struct Frame {
    enum Kind : std::uint8_t { RecordObject, RecordArray, Attributes, Ignored } kind;
    Role next = Role::Invalid;  // RecordObject: role of the value after the last key
    bool seen_value = false;
    bool seen_attributes = false;
    int elements = 0;  // RecordArray: elements begun so far
  };

  // The role of the value that starts now; counts array elements.
  Role next_role() {
    if (frames_.empty()) return done_ ? Role::Invalid : Role::Record;
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case Frame::RecordObject: return frame.next;
      case Frame::RecordArray:
        switch (frame.elements++) {
          case 0: return Role::Value;
          case 1: return Role::Attributes;
          default: return Role::Invalid;
        }
      case Frame::Attributes: return Role::AttributeValue;
      case Frame::Ignored: return Role::Ignored;
    }
    return Role::Invalid;
  }
  bool scalar() { return next_role() == Role::Ignored; }

  std::vector<Frame> frames_;
  std::string value_;
  Attributes attributes_;
  std::string attribute_name_;
  bool done_ = false;
};

// The text with every JSON number outside a string written as 0, or
// nothing when it holds none. A record has no numbers of its own (its value
// and attributes are strings), but the parser refuses a number too large
// for a double even in a member that a record ignores. Only a whole run of
// number characters that is one valid number is rewritten, so that no
// malformed run ("1.5.5") turns into valid JSON ("0.0").
std::optional<std::string> numbers_as_zero(std::string_view text) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto in_number = [&](char c) { return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; };
  const auto one_number = [&](std::string_view run) {
    std::size_t i = 0;
    const auto digits = [&] {
      const std::size_t from = i;
      while (i < run.size() && is_digit(run[i])) ++i;
      return i > from;
    };
    if (i < run.size() && run[i] == '-') ++i;
    if (i < run.size() && run[i] == '0') {
      ++i;
    } else if (!digits()) {
      return false;
    }
    if (i < run.size() && run[i] == '.' && (++i, !digits())) return false;
    if (i < run.size() && (run[i] == 'e' || run[i] == 'E')) {
      ++i;
      if (i < run.size() && (run[i] == '+' || run[i] == '-')) ++i;
      if (!digits()) return false;
    }
    return i == run.size();
  };
  std::string out;
  bool changed = false;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (in_string) {
      const std::size_t step = c == '\\' && i + 1 < text.size() ? 2 : 1;
      out.append(text.substr(i, step));
      if (c == '"') in_string = false;
      i += step;
    } else if (c == '-' || is_digit(c)) {
      std::size_t end = i;
      while (end < text.size() && in_number(text[end])) ++end;
      const std::string_view run = text.substr(i, end - i);
      if (one_number(run)) {
        out.push_back('0');
        changed = true;
      } else {
        out.append(run);
      }
      i = end;
    } else {
      if (c == '"') in_string = true;
      out.push_back(c);
      ++i;
    }
  }
  if (!changed) return std::nullopt;
  return out;
}

bool read_record(std::string_view text, RecordReader& reader) {
  // strict: the whole input must be one JSON value and whitespace.
  return Json::sax_parse(text.begin(), text.end(), &reader, nlohmann::detail::input_format_t::json, true);
}

}  // namespace

bool encodable(const Metadata& metadata) {
  bool valid = valid_utf8(metadata.value());
  metadata.for_each_attribute([&](std::string_view name, std::string_view value) {
    valid = valid && valid_utf8(name) && valid_utf8(value);
  });
  return valid;
}

std::string encode_metadata(const Metadata& metadata) {
  std::string out;
  out.reserve(128);
  out += "{\"value\":";
  append_json_string(out, metadata.value());
  out += ",\"attributes\":{";
  bool first = true;
  metadata.for_each_attribute([&](std::string_view name, std::string_view value) {
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, name);
    out.push_back(':');
    append_json_string(out, value);
  });
  out += "}}";
  return out;
}

std::optional<Metadata> decode_metadata(std::string_view text) {
  // The parser reads a NUL as the end of its input, and skips a leading
  // byte-order mark; neither is JSON whitespace (a NUL in a string is
  // written \u0000), so a text holding either is no record.
  if (text.find('\0') != std::string_view::npos || text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  RecordReader reader;
  if (read_record(text, reader)) return reader.take();
  // Perhaps only for a number out of a double's range, which the record
  // ignores wherever it stands.
  const std::optional<std::string> zeroed = numbers_as_zero(text);
  if (!zeroed) return std::nullopt;
  RecordReader again;
  if (!read_record(*zeroed, again)) return std::nullopt;
  return again.take();
}

std::string prefix_text(const IpPrefix& prefix) { return format_prefix(prefix); }

std::string lookup_key(const IpAddress& address) {
  std::string key(kLookupKeyPrefix);
  key += format_address(address);
  return key;
}

std::string result_generation_key(const IpAddress& address) {
  std::string key(kResultGenerationKeyPrefix);
  key += format_address(address);
  return key;
}

}  // namespace korvane::redis
