#include "redis/backend.hpp"

#include "korvane/address.hpp"
#include "redis/schema.hpp"

namespace korvane::redis {

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

void RedisBackend::store_entry(const IpPrefix& prefix, const Metadata& record, const std::string* channel,
                               std::string_view origin) const {
  std::vector<std::vector<std::string>> commands;
  commands.push_back({"HSET", std::string(kEntriesKey), prefix_text(prefix), encode_metadata(record)});
  commands.push_back({"INCR", std::string(kGenerationKey)});
  if (channel) commands.push_back({"PUBLISH", *channel, format_notice(origin, prefix, &record)});
  (void)client_->pipeline(commands);
}

void RedisBackend::delete_entry(const IpPrefix& prefix, const std::string* channel, std::string_view origin) const {
  std::vector<std::vector<std::string>> commands;
  commands.push_back({"HDEL", std::string(kEntriesKey), prefix_text(prefix)});
  commands.push_back({"INCR", std::string(kGenerationKey)});
  if (channel) commands.push_back({"PUBLISH", *channel, format_notice(origin, prefix, nullptr)});
  (void)client_->pipeline(commands);
}

std::optional<std::vector<std::pair<std::string, std::string>>> RedisBackend::load_entries() const {
  auto reply = client_->command({"HGETALL", std::string(kEntriesKey)});
  if (!reply) return std::nullopt;
  return reply_text_map(*reply);
}

}  // namespace korvane::redis
