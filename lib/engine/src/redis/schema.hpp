// The Redis key schema and the stored record form.
//
// Keys (every process on one server and database shares them):
//   "korvane:entries"            hash: prefix text -> JSON record
//   "korvane:lookup:" + address  string: JSON record of a shared lookup result
//   "korvane:generation"         string: integer bumped by every change that
//                                can make a shared lookup result stale;
//                                made where missing at a random count
//   "korvane:lookup-generation:" + address
//                                string: the generation a shared lookup
//                                result was computed at; the result is
//                                current only while it equals
//                                "korvane:generation"
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvane/types.hpp"

namespace korvane::redis {

inline constexpr std::string_view kEntriesKey = "korvane:entries";
inline constexpr std::string_view kLookupKeyPrefix = "korvane:lookup:";
inline constexpr std::string_view kGenerationKey = "korvane:generation";
inline constexpr std::string_view kResultGenerationKeyPrefix = "korvane:lookup-generation:";
// A token the first load from a server sets, where the key is missing. It
// goes only with the rest of the data: a server that restarted without it,
// or was flushed, answers the next load with a token of that load's own,
// so an engine that reconnects tells data the server lost from entries
// other engines removed, however many changes were made since.
inline constexpr std::string_view kIncarnationKey = "korvane:incarnation";

// {"value":"...","attributes":{"name":"value",...}} in compact form, the
// attributes in the map's iteration order. Strings are escaped as \" \\ \b
// \t \n \f \r and \u00xx (lowercase hex) for the other bytes below 0x20;
// every other byte is copied unchanged.
std::string encode_metadata(const Metadata& metadata);
// Whether decode_metadata reads encode_metadata(metadata) back: its value
// and every attribute name and value are valid UTF-8. A record that is not
// would be written, and then skipped by every reader.
bool encodable(const Metadata& metadata);

// Reads a record: an object whose members "value" (string) and "attributes"
// (object of strings) each appear exactly once, in any order, other members
// ignored; or the array [value, attributes]. Surrounding JSON whitespace is
// allowed, anything else (repeated members or attribute names, wrong types,
// trailing text, invalid UTF-8) is not a record.
std::optional<Metadata> decode_metadata(std::string_view text);

// "10.0.0.0/8": address text as stored (host bits kept), "/", length.
std::string prefix_text(const IpPrefix& prefix);
// "korvane:lookup:" followed by the address text.
std::string lookup_key(const IpAddress& address);
// "korvane:lookup-generation:" followed by the address text.
std::string result_generation_key(const IpAddress& address);

}  // namespace korvane::redis
