#include "redis/schema.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

#include "korvane/address.hpp"

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

}  // namespace

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
  // strict: the whole input must be one JSON value and whitespace.
  if (!Json::sax_parse(text.begin(), text.end(), &reader, nlohmann::detail::input_format_t::json, true)) {
    return std::nullopt;
  }
  return reader.take();
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
