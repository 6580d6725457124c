#include "redis/backend.hpp"

#include <charconv>
#include <limits>

#include "korvane/address.hpp"
#include "platform.hpp"
#include "redis/schema.hpp"

namespace korvane::redis {

std::string new_origin() {
  const std::uint64_t id = platform::entropy_u64();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 0; i < 16; ++i) out[i] = kHex[(id >> (60 - 4 * i)) & 0xF];
  return out;
}

namespace {

// Where a generation key made afresh starts counting: a random point in
// [2^40, 2^61). A key evicted or deleted and made again must not count
// through the values it held before, or results tagged with one of them
// would pass for current again; from a random start, two runs of counts
// meet with a chance of about one in 2^61 per change made.
std::vector<std::string> start_generation_where_missing() {
  constexpr std::uint64_t kLow = std::uint64_t{1} << 40;
  constexpr std::uint64_t kHigh = std::uint64_t{1} << 61;
  return {"SET", std::string(kGenerationKey), std::to_string(kLow + platform::random_u64() % (kHigh - kLow)), "NX"};
}

}  // namespace

std::string notice_channel(const std::string& update_channel, std::uint64_t database) {
  return database == 0 ? update_channel : update_channel + "/" + std::to_string(database);
}

std::string format_notice(std::string_view origin, const IpPrefix& prefix, const Metadata* record) {
  std::string out(origin);
  out += record ? " I " : " R ";
  out += prefix_text(prefix);
  if (record) {
    out.push_back(' ');
    out += encode_metadata(*record);
  }
  return out;
}

std::optional<UpdateNotice> parse_notice(std::string_view text) {
  const std::size_t first = text.find(' ');
  if (first == std::string_view::npos || text.size() < first + 3 || text[first + 2] != ' ') return std::nullopt;
  UpdateNotice notice;
  notice.origin = std::string(text.substr(0, first));
  const char kind = text[first + 1];
  std::string_view rest = text.substr(first + 3);
  if (kind == 'I') {
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    auto record = decode_metadata(rest.substr(space + 1));
    if (!record) return std::nullopt;
    notice.insert = true;
    notice.record = std::move(*record);
    rest = rest.substr(0, space);
  } else if (kind != 'R') {
    return std::nullopt;
  }
  auto prefix = parse_prefix(rest);
  if (!prefix) return std::nullopt;
  notice.prefix = *prefix;
  return notice;
}

std::shared_ptr<RedisBackend> RedisBackend::make(std::string_view url, std::string& error) {
  auto settings = parse_url(url, error);
  if (!settings) return nullptr;
  auto client = std::make_unique<RedisClient>(std::move(*settings));
  if (auto failure = client->check_connection()) {
    error = std::move(*failure);
    return nullptr;
  }
  return std::shared_ptr<RedisBackend>(new RedisBackend(std::move(client)));
}

std::optional<std::uint64_t> RedisBackend::write_change(std::vector<std::string> change, const IpPrefix& prefix,
                                                        const Metadata* record, const std::string* channel,
                                                        std::string_view origin, WriteFailure* failure,
                                                        std::vector<std::string> also) const {
  const auto failed = [failure](WriteFailure why) -> std::optional<std::uint64_t> {
    if (failure != nullptr) *failure = why;
    return std::nullopt;
  };
  // One transaction: a write the server refuses (out of memory, no
  // permission) then bumps nothing and publishes no notice of a change the
  // hash does not hold, and no other client's change comes between the
  // write and its notice.
  std::vector<std::vector<std::string>> commands;
  commands.push_back({"MULTI"});
  commands.push_back(std::move(change));
  commands.push_back(start_generation_where_missing());
  commands.push_back({"INCR", std::string(kGenerationKey)});
  if (!also.empty()) commands.push_back(std::move(also));
  if (channel) commands.push_back({"PUBLISH", *channel, format_notice(origin, prefix, record)});
  commands.push_back({"EXEC"});
  const auto replies = client_->pipeline(commands);
  if (!replies) return failed(WriteFailure::kUnknown);
  if (replies->front().type == Reply::Type::Error) {
    // MULTI refused (a user not allowed transactions): each command ran on
    // its own, and the change landed unless its own reply says otherwise.
    // Reported as failed, it would be sent again, and land again, forever.
    const Reply& written = (*replies)[1];
    if (written.type == Reply::Type::Error) return failed(WriteFailure::kFailedAsItRan);
    const Reply& counted = (*replies)[3];
    return counted.type == Reply::Type::Integer && counted.integer >= 0 ? static_cast<std::uint64_t>(counted.integer)
                                                                       : 0;
  }
  const Reply& exec = replies->back();
  if (exec.type == Reply::Type::Error) {
    // EXECABORT: a command was refused as it was queued, and the server
    // ran none of them.
    return failed(WriteFailure::kRefused);
  }
  if (exec.type != Reply::Type::Array || exec.elements.size() != commands.size() - 2) {
    return failed(WriteFailure::kUnknown);
  }
  if (exec.elements[0].type == Reply::Type::Error) return failed(WriteFailure::kFailedAsItRan);
  // The hash holds the change even when the generation key, planted by
  // hand, cannot count it: sending the change again would change nothing.
  if (exec.elements[2].type != Reply::Type::Integer || exec.elements[2].integer < 0) return 0;
  return static_cast<std::uint64_t>(exec.elements[2].integer);
}

std::optional<std::uint64_t> RedisBackend::store_entry(const IpPrefix& prefix, const Metadata& record,
                                                       const std::string* channel, std::string_view origin,
                                                       WriteFailure* failure,
                                                       std::span<const std::string> other_spellings) const {
  if (!encodable(record)) {  // no reader could take it back
    if (failure != nullptr) *failure = WriteFailure::kRefused;
    return std::nullopt;
  }
  // The field names the entry as the engines hold it, host bits cleared:
  // a field kept as the caller spelt it would outlive a remove that spelt
  // the same entry otherwise, and the entry would come back at the next load.
  // A field spelt with the caller's host bits (by another writer, or before
  // fields were written without them) goes in the same transaction: left
  // in place, its older record could win over this one at the next load.
  std::vector<std::string> stale_spellings{"HDEL", std::string(kEntriesKey)};
  if (std::string spelt = prefix_text(prefix); spelt != prefix_text(prefix.canonical())) {
    stale_spellings.push_back(std::move(spelt));
  }
  stale_spellings.insert(stale_spellings.end(), other_spellings.begin(), other_spellings.end());
  if (stale_spellings.size() == 2) stale_spellings.clear();
  return write_change({"HSET", std::string(kEntriesKey), prefix_text(prefix.canonical()), encode_metadata(record)},
                      prefix, &record, channel, origin, failure, std::move(stale_spellings));
}

std::optional<std::uint64_t> RedisBackend::delete_entry(const IpPrefix& prefix, const std::string* channel,
                                                        std::string_view origin, WriteFailure* failure,
                                                        std::span<const std::string> other_spellings) const {
  // Both spellings: a field written with host bits (by another writer, or
  // before fields were written without them) goes when a remove names it.
  std::vector<std::string> hdel{"HDEL", std::string(kEntriesKey), prefix_text(prefix.canonical())};
  if (std::string spelt = prefix_text(prefix); spelt != hdel.back()) hdel.push_back(std::move(spelt));
  hdel.insert(hdel.end(), other_spellings.begin(), other_spellings.end());
  return write_change(std::move(hdel), prefix, nullptr, channel, origin, failure);
}

namespace {

// A generation as GET returns it: nil is 0 (never bumped).
std::optional<std::uint64_t> generation_of(const Reply& reply) {
  if (reply.type == Reply::Type::Nil) return 0;
  if (reply.type != Reply::Type::String) return std::nullopt;
  std::uint64_t value = 0;
  const char* end = reply.text.data() + reply.text.size();
  const auto [stop, ec] = std::from_chars(reply.text.data(), end, value);
  if (ec != std::errc() || stop != end || reply.text.empty()) return std::nullopt;
  // A count INCR cannot take further (leading zeros, or at the top of its
  // signed 64-bit range: a key planted by hand) would let the next change go
  // uncounted, and results tagged with it pass for current: none is usable.
  if ((reply.text.size() > 1 && reply.text.front() == '0') ||
      value >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<Snapshot> RedisBackend::load_snapshot(const std::string& token) const {
  const std::string incarnation_key(kIncarnationKey);
  // The token is set ahead of the transaction, so that a server or user
  // that refuses writes (a read-only replica, say) still answers the load;
  // its GET then reads the token some other engine set, or none.
  auto replies = client_->pipeline({{"SET", incarnation_key, token, "NX"},
                                    {"MULTI"},
                                    {"GET", incarnation_key},
                                    {"GET", std::string(kGenerationKey)},
                                    {"HGETALL", std::string(kEntriesKey)},
                                    {"EXEC"}},
                                   kLoadTimeout);
  if (!replies) return std::nullopt;
  std::vector<Reply> read;
  if ((*replies)[1].type == Reply::Type::Error) {
    // MULTI refused (a user not allowed transactions): the reads ran on
    // their own, in this order. A change between them is then newer than
    // the generation read, which only makes this load count as older.
    read.assign(std::make_move_iterator(replies->begin() + 2), std::make_move_iterator(replies->end() - 1));
  } else {
    Reply& exec = replies->back();
    if (exec.type != Reply::Type::Array) return std::nullopt;
    read = std::move(exec.elements);
  }
  if (read.size() != 3) return std::nullopt;
  auto entries = reply_text_map(std::move(read[2]));
  if (!entries) return std::nullopt;
  std::optional<std::string> incarnation;
  if (read[0].type == Reply::Type::String) incarnation = std::move(read[0].text);
  return Snapshot{generation_of(read[1]), std::move(incarnation), std::move(*entries)};
}

std::optional<std::uint64_t> RedisBackend::generation() const {
  const auto reply = client_->command({"GET", std::string(kGenerationKey)});
  if (!reply) return std::nullopt;
  return generation_of(*reply);
}

std::optional<Metadata> RedisBackend::fetch_result(const IpAddress& address) const {
  const auto reply =
      client_->command({"MGET", std::string(kGenerationKey), lookup_key(address), result_generation_key(address)});
  if (!reply || reply->type != Reply::Type::Array || reply->elements.size() != 3) return std::nullopt;
  // A missing key (read as 0) shares nothing: results tagged 0 before it
  // was first made would pass for current again once it is lost.
  const auto current = reply->elements[0].type == Reply::Type::String ? generation_of(reply->elements[0]) : std::nullopt;
  const auto stored_at = reply->elements[2].type == Reply::Type::String ? generation_of(reply->elements[2])
                                                                         : std::nullopt;
  if (!current || !stored_at || *current != *stored_at) return std::nullopt;
  const auto text = reply_optional_text(reply->elements[1]);
  if (!text) return std::nullopt;
  return decode_metadata(*text);
}

void RedisBackend::store_result(const IpAddress& address, const Metadata& record, std::uint64_t generation) const {
  (void)client_->command({"MSET", lookup_key(address), encode_metadata(record), result_generation_key(address),
                          std::to_string(generation)});
}

bool RedisBackend::bump_generation() const {
  const auto replies = client_->pipeline(
      {{"MULTI"}, start_generation_where_missing(), {"INCR", std::string(kGenerationKey)}, {"EXEC"}});
  if (!replies) return false;
  const Reply& exec = replies->back();
  return exec.type == Reply::Type::Array && exec.elements.size() == 2 &&
         exec.elements[1].type == Reply::Type::Integer;
}

}  // namespace korvane::redis
