// The stored record form: exact encoding, strict decoding, key texts.
#include <gtest/gtest.h>

#include "korvane/address.hpp"
#include "redis/backend.hpp"
#include "redis/schema.hpp"

namespace korvane::redis {
namespace {

TEST(EncodeMetadata, ExactBytes) {
  EXPECT_EQ(encode_metadata(Metadata("", {})), R"({"value":"","attributes":{}})");
  EXPECT_EQ(encode_metadata(Metadata("office", {{"site", "berlin"}})),
            R"({"value":"office","attributes":{"site":"berlin"}})");
  EXPECT_EQ(encode_metadata(Metadata(std::string("q\"b\\t\tx\x01", 8))), R"({"value":"q\"b\\t\tx\u0001","attributes":{}})");
  EXPECT_EQ(encode_metadata(Metadata("\b\f\n\r\x1f\x7f/é")), "{\"value\":\"\\b\\f\\n\\r\\u001f\x7f/é\",\"attributes\":{}}");
  EXPECT_EQ(encode_metadata(Metadata(std::string("\0", 1))), R"({"value":"\u0000","attributes":{}})");
  EXPECT_EQ(encode_metadata(Metadata("", {{"k\"", "v\n"}})), R"({"value":"","attributes":{"k\"":"v\n"}})");
}

TEST(EncodeMetadata, TwoAttributesInEitherOrderAndRoundTrip) {
  const Metadata md("office", {{"site", "berlin"}, {"rack", "r12"}});
  const std::string text = encode_metadata(md);
  EXPECT_TRUE(text == R"({"value":"office","attributes":{"site":"berlin","rack":"r12"}})" ||
              text == R"({"value":"office","attributes":{"rack":"r12","site":"berlin"}})")
      << text;
  EXPECT_EQ(decode_metadata(text), md);
  const Metadata awkward(std::string("\x01\x1f\"\\ü\0", 8), {{"", ""}, {"\t", "\x7f"}});
  EXPECT_EQ(decode_metadata(encode_metadata(awkward)), awkward);
}

TEST(DecodeMetadata, Accepts) {
  struct Case {
    const char* text;
    Metadata want;
  } cases[] = {
      {R"({"value":"x","attributes":{}})", Metadata("x")},
      {R"({"attributes":{},"value":"x","extra":[1,2]})", Metadata("x")},
      {R"(["x",{"k":"v"}])", Metadata("x", {{"k", "v"}})},
      {" \t\r\n{\"value\":\"x\",\"attributes\":{\"a\":\"b\"}} \n", Metadata("x", {{"a", "b"}})},
      {R"({"value":"\u00fc\ud83d\ude00","attributes":{}})", Metadata("ü😀")},
      {R"({"x":{"value":1,"value":2},"value":"v","attributes":{},"y":null})", Metadata("v")},
      // Numbers past a double's range, where a record ignores them.
      {R"({"value":"x","attributes":{"k":"1e999"},"extra":[1e999,-1E+400,0.5],"n":1)"
       R"(00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000)"
       R"(00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000)"
       R"(00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000)"
       R"(0})",
       Metadata("x", {{"k", "1e999"}})},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_metadata(c.text), c.want) << c.text;
}

TEST(DecodeMetadata, Rejects) {
  const char* cases[] = {
      "",
      "{}",
      R"({"value":"x"})",
      R"({"attributes":{}})",
      R"({"value":"x","attributes":{},"value":"y"})",
      R"({"value":"x","attributes":{},"attributes":{}})",
      R"({"value":"x","attributes":{"k":"a","k":"b"}})",
      R"({"value":1,"attributes":{}})",
      R"({"value":null,"attributes":{}})",
      R"({"value":"x","attributes":[]})",
      R"({"value":"x","attributes":{"k":1}})",
      R"({"value":"x","attributes":{"k":{}}})",
      R"(["x"])",
      R"(["x",{},1])",
      R"([{},"x"])",
      R"({"value":"x","attributes":{}} x)",
      R"({"value":"x","attributes":{}}{})",
      R"({"value":"x","attributes":{},})",
      R"({'value':'x','attributes':{}})",
      "\"x\"",
      "null",
      "{\"value\":\"\xff\",\"attributes\":{}}",
      "{\"value\":\"a\x01\",\"attributes\":{}}",
      // Malformed numbers stay malformed, however large.
      R"({"value":"x","attributes":{},"extra":1e999.5.5})",
      R"({"value":"x","attributes":{},"extra":01e999})",
      R"({"value":"x","attributes":{},"extra":-})",
      R"({"value":1e999,"attributes":{}})",
  };
  for (const char* text : cases) EXPECT_FALSE(decode_metadata(text).has_value()) << text;
  // The JSON parser stops at a NUL and skips a byte-order mark: a record
  // followed by a NUL and junk, or led by a mark, is still no record.
  EXPECT_FALSE(decode_metadata(std::string_view("[\"w\",{}]\0junk", 13)).has_value());
  EXPECT_FALSE(decode_metadata("\xEF\xBB\xBF[\"b\",{}]").has_value());
}

TEST(KeyTexts, PrefixAndLookupKeys) {
  EXPECT_EQ(prefix_text(parse_prefix("10.1.2.3/8").value()), "10.1.2.3/8");
  EXPECT_EQ(prefix_text(parse_prefix("2001:DB8:0:0:1:0:0:1/32").value()), "2001:db8::1:0:0:1/32");
  EXPECT_EQ(prefix_text(parse_prefix("::ffff:1.2.3.4/128").value()), "::ffff:1.2.3.4/128");
  EXPECT_EQ(lookup_key(parse_address("10.1.2.3").value()), "korvane:lookup:10.1.2.3");
  EXPECT_EQ(lookup_key(parse_address("2001:db8:0:0:1::").value()), "korvane:lookup:2001:db8:0:0:1::");
}

TEST(UpdateNotice, RoundTripAndRejects) {
  const IpPrefix p = parse_prefix("2001:db8::/32").value();
  const Metadata md("a b", {{"k", "v w"}});
  auto insert = parse_notice(format_notice("00ff", p, &md));
  ASSERT_TRUE(insert);
  EXPECT_TRUE(insert->insert);
  EXPECT_EQ(insert->origin, "00ff");
  EXPECT_EQ(insert->prefix, p);
  EXPECT_EQ(insert->record, md);
  auto remove = parse_notice(format_notice("00ff", p, nullptr));
  ASSERT_TRUE(remove);
  EXPECT_FALSE(remove->insert);
  EXPECT_EQ(remove->prefix, p);
  for (const char* bad : {"", "o", "o X 1.2.3.0/24", "o R nonsense", "o I 1.2.3.0/24", "o I 1.2.3.0/24 {}"}) {
    EXPECT_FALSE(parse_notice(bad)) << bad;
  }
}

}  // namespace
}  // namespace korvane::redis
