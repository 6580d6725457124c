// The hybrid engine with and without Redis: assembly, load, write-through,
// propagation between engines, and faults. Every Redis case runs against
// its own redis-server. Without a server it answers as the plain engine
// (lib/python/tests/test_hybrid.py compares every operation).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hybrid.hpp"
#include "korvane/address.hpp"
#include "korvane/config.hpp"
#include "redis/schema.hpp"
#include "redis_server.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::eventually;
using testing::RedisServer;

using testing::A;
using testing::P;

EngineConfig hybrid_config(std::optional<std::string> url) {
  EngineConfig config;
  config.hybrid = true;
  config.redis_url = std::move(url);
  return config;
}

std::shared_ptr<const HybridEngine> make(const RedisServer& server) {
  auto engine = std::dynamic_pointer_cast<const HybridEngine>(create_engine(hybrid_config(server.url())));
  EXPECT_TRUE(engine && engine->has_backend());
  return engine;
}

// Drops the engine's subscription and waits for the catch-up of the next
// one: the count goes up only once the catch-up has run.
bool caught_up_again(const RedisServer& server, const HybridEngine& engine) {
  const auto before = engine.subscriptions();
  server.run({"CLIENT", "KILL", "TYPE", "pubsub"});
  return eventually([&] { return engine.subscriptions() > before; });
}

// A remove another writer made without a notice reaching anyone.
void removed_elsewhere(const RedisServer& server, const std::string& field) {
  server.run({"HDEL", std::string(redis::kEntriesKey), field});
  server.run({"INCR", std::string(redis::kGenerationKey)});
}

// An engine whose user the server may be told to refuse HSET (see
// refuse_writes), and which is not refused yet.
std::shared_ptr<const HybridEngine> refusable(const RedisServer& server) {
  server.run({"ACL", "SETUSER", "writer", "on", ">pw", "~*", "&*", "+@all"});
  auto engine = std::dynamic_pointer_cast<const HybridEngine>(
      create_engine(hybrid_config("redis://writer:pw@127.0.0.1:" + std::to_string(server.port()))));
  EXPECT_TRUE(engine && engine->has_backend());
  return engine;
}
void refuse_writes(const RedisServer& server, bool refuse) {
  server.run({"ACL", "SETUSER", "writer", refuse ? "-hset" : "+hset"});
}

std::optional<std::string> value_at(const PrefixEngine& engine, std::string_view address) {
  auto md = engine.lookup(A(address));
  if (!md) return std::nullopt;
  return md->value();
}

// An insert racing a remove or a clear of the same prefix, started
// together round after round: once both are done, the write and read
// engines agree on the prefix.
TEST(HybridAssembly, RacingChangesLeaveBothEnginesAlike) {
  const EngineHandle engine = create_engine(hybrid_config(std::nullopt));
  const auto& hybrid = dynamic_cast<const HybridEngine&>(*engine);
  const IpPrefix prefix = P("10.1.0.0/16");
  constexpr int kRounds = 1000;
  std::atomic<int> started{0};
  std::atomic<int> inserted{0};
  std::thread inserter([&] {
    for (int round = 1; round <= kRounds; ++round) {
      while (started.load() < round) std::this_thread::yield();
      (void)engine->insert(prefix, Metadata("x"));
      inserted.store(round);
    }
  });
  int disagreements = 0;
  for (int round = 1; round <= kRounds; ++round) {
    started.store(round);
    if (round % 2 == 0) {
      engine->clear();
    } else {
      (void)engine->remove(prefix);
    }
    while (inserted.load() < round) std::this_thread::yield();
    if (hybrid.write_engine().contains(prefix) != hybrid.read_engine().contains(prefix)) {
      ++disagreements;
      (void)engine->remove(prefix);  // alike again for the next round
    }
  }
  inserter.join();
  EXPECT_EQ(disagreements, 0);
}

TEST(HybridConstruction, UnreachableServerIsACatchableError) {
  const int port = 1;  // nothing listens there (a privileged port no test takes)
  try {
    create_engine(hybrid_config("redis://127.0.0.1:" + std::to_string(port)));
    FAIL() << "construction succeeded";
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Failed to initialize HybridEngine: \"Redis error: ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '"');
  }
  try {
    create_engine(hybrid_config("rediss://127.0.0.1"));
    FAIL() << "construction succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("TLS"), std::string::npos) << e.what();
  }
  EXPECT_EQ(hybrid_failure_message("a \"b\" \\c"), R"(Failed to initialize HybridEngine: "a \"b\" \\c")");
}

// A server started just after its clients (a machine booting, a container
// set brought up at once) is waited for; one that answers and refuses is not.
TEST(HybridConstruction, AServerStartingLateIsWaitedFor) {
  RedisServer server;
  server.stop();
  std::thread starter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    try {
      server.start();
    } catch (const std::exception& e) {  // thrown out of the thread, it would abort every test
      ADD_FAILURE() << e.what();
    }
  });
  EXPECT_NO_THROW(create_engine(hybrid_config(server.url())));
  starter.join();
  server.run({"CONFIG", "SET", "requirepass", "pw"});
  // Another service on a port answers at once, and not as Redis does.
  const std::pair<int, std::string> listener = testing::loopback_listener();
  const int service = listener.first;
  std::atomic<bool> serving{true};
  std::thread answering([&] {
    while (serving) {
      const int client = accept(service, nullptr, nullptr);
      if (client < 0) break;
      (void)!write(client, "HTTP/1.1 400 Bad Request\r\n\r\n", 28);
      close(client);
    }
  });
  const std::string urls[] = {server.url(), "redis://:wrong@127.0.0.1:" + std::to_string(server.port()), listener.second};
  for (const std::string& url : urls) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_THROW(create_engine(hybrid_config(url)), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3)) << url << " was waited for";
  }
  serving = false;
  shutdown(service, SHUT_RDWR);
  close(service);
  answering.join();
}

// Calls of a command the server has run so far, from INFO commandstats.
long long calls_of(const RedisServer& server, const std::string& command) {
  const std::string info = server.run({"INFO", "commandstats"});
  const std::size_t at = info.find("cmdstat_" + command + ":calls=");
  return at == std::string::npos ? 0 : std::stoll(info.substr(at + command.size() + 15));
}

// A generation key holding no count (planted by hand) neither stops the
// load nor makes writes that reached the hash be sent again.
TEST(HybridRedis, AGenerationKeyWithoutACountLeavesLoadsAndWritesWorking) {
  RedisServer server;
  server.run({"SET", std::string(redis::kGenerationKey), "abc"});
  server.run({"HSET", std::string(redis::kEntriesKey), "10.0.0.0/8", R"(["ten",{}])"});
  auto engine = make(server);
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "ten");
  const long long before = calls_of(server, "hset");
  ASSERT_EQ(engine->insert(P("192.168.0.0/16"), Metadata("lan")), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two of the subscriber's retry ticks
  EXPECT_EQ(calls_of(server, "hset"), before + 1);
  EXPECT_EQ(value_at(*make(server), "192.168.1.1"), "lan");
}

// Publish and subscribe span a server's databases; the engines of one
// database hear only each other.
TEST(HybridRedis, EnginesOfAnotherDatabaseHearNothing) {
  RedisServer server;
  auto zero = make(server);
  auto one = std::dynamic_pointer_cast<const HybridEngine>(create_engine(hybrid_config(server.url() + "/1")));
  auto also_one = std::dynamic_pointer_cast<const HybridEngine>(create_engine(hybrid_config(server.url() + "/1")));
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("db1")), std::nullopt);
  ASSERT_EQ(zero->insert(P("192.168.0.0/16"), Metadata("db0")), std::nullopt);
  // A last change in each database: a subscriber hears notices in the order
  // they were published, so an engine that has heard its database's last one
  // would have heard the other database's change before it.
  auto zero_too = make(server);
  ASSERT_EQ(zero_too->insert(P("172.16.0.0/12"), Metadata("db0 last")), std::nullopt);
  ASSERT_EQ(one->insert(P("172.16.0.0/12"), Metadata("db1 last")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return value_at(*zero, "172.16.0.1") == "db0 last"; }));
  EXPECT_TRUE(eventually([&] { return value_at(*also_one, "172.16.0.1") == "db1 last"; }));
  EXPECT_EQ(value_at(*also_one, "10.1.1.1"), "db1");
  EXPECT_FALSE(zero->lookup(A("10.1.1.1")));
  EXPECT_FALSE(also_one->lookup(A("192.168.1.1")));
  EXPECT_FALSE(one->lookup(A("192.168.1.1")));
}

// A user that may read but not write (as on a read-only replica) still
// loads the hash; only the incarnation token goes unset, and with none
// ever set, the generation alone tells removes made while it was away. A
// token that a writer set and the server then lost tells it of the loss.
TEST(HybridRedis, AUserThatMayNotWriteStillLoadsAndCatchesUp) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  server.run({"HSET", key, "10.0.0.0/8", R"({"value":"ten","attributes":{}})"});
  server.run({"HSET", key, "192.168.0.0/16", R"({"value":"lan","attributes":{}})"});
  server.run({"ACL", "SETUSER", "reader", "on", ">secret", "~*", "&*", "+@read", "+@pubsub", "+@connection",
              "+@transaction"});
  std::string url = server.url();
  url.insert(std::string_view("redis://").size(), "reader:secret@");
  auto engine = std::dynamic_pointer_cast<const HybridEngine>(create_engine(hybrid_config(url)));
  ASSERT_TRUE(engine && engine->has_backend());
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "ten");
  removed_elsewhere(server, "10.0.0.0/8");
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), std::nullopt);
  server.run({"SET", std::string(redis::kIncarnationKey), "a writer's"});
  ASSERT_TRUE(caught_up_again(server, *engine));
  server.run({"FLUSHDB"});
  server.run({"HSET", key, "2001:db8::/32", R"({"value":"added","attributes":{}})"});
  server.run({"INCRBY", std::string(redis::kGenerationKey), "10"});
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "2001:db8::1"), "added");
  // The next catch-up, with no token at either load, keeps it too.
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "192.168.1.1"), "lan");
}

// A user whose ACL denies the update channel would have every write
// refused with its notice: no engine is better than one that stores
// nothing.
TEST(HybridConstruction, AUserDeniedTheChannelIsAConstructionError) {
  RedisServer server;
  server.run({"ACL", "SETUSER", "nochannel", "on", ">secret", "~*", "resetchannels", "+@all"});
  std::string url = server.url();
  url.insert(std::string_view("redis://").size(), "nochannel:secret@");
  try {
    create_engine(hybrid_config(url));
    FAIL() << "construction succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("NOPERM"), std::string::npos) << e.what();
  }
}

TEST(HybridRedis, LoadSkipsBadFieldsAndValues) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  server.run({"HSET", key, "172.17.0.0/16", "{\"value\":\"\xff\",\"attributes\":{}}"});  // no UTF-8
  server.run({"HSET", key, "10.0.0.0/8", R"({"attributes":{},"value":"x","extra":[1,2]})"});
  server.run({"HSET", key, "2001:db8::/32", R"(["y",{"k":"v"}])"});
  server.run({"HSET", key, "not a prefix", R"({"value":"z","attributes":{}})"});
  server.run({"HSET", key, "192.168.0.0/16", "{}"});
  server.run({"HSET", key, "172.16.0.0/12", R"({"value":"w","attributes":{}} trailing)"});
  auto engine = make(server);
  EXPECT_EQ(engine->len(), 2u);
  EXPECT_EQ(engine->write_engine().len(), 2u);
  EXPECT_EQ(value_at(*engine, "10.2.3.4"), "x");
  auto y = engine->lookup(A("2001:db8::1"));
  ASSERT_TRUE(y);
  EXPECT_EQ(*y, Metadata("y", {{"k", "v"}}));
  EXPECT_FALSE(engine->lookup(A("192.168.1.1")));
}

// Fields another tool spelt otherwise (a netmask, upper-case hex, host
// bits, a zero-padded length) name the entries they parse to. The field as
// this engine writes it wins over them, whatever order the server lists
// them in, and the entry's next write or remove deletes them: left in the
// hash, they outlived a remove, or came back at the next load with their
// older records.
TEST(HybridRedis, FieldsSpeltOtherwiseGoWithTheirEntrysNextWrite) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  const auto record = [](std::string_view value) { return R"({"value":")" + std::string(value) + R"(","attributes":{}})"; };
  server.run({"HSET", key, "10.0.0.0/255.0.0.0", record("mask")});
  server.run({"HSET", key, "2001:DB8::/32", record("upper")});
  server.run({"HSET", key, "192.0.2.0/24", record("written here")});
  server.run({"HSET", key, "192.0.2.7/24", record("host bits")});  // listed after it
  auto one = make(server);
  EXPECT_EQ(value_at(*one, "192.0.2.1"), "written here");
  EXPECT_EQ(value_at(*one, "10.1.1.1"), "mask");
  EXPECT_TRUE(one->remove(P("10.0.0.0/8")));
  ASSERT_EQ(one->insert(P("2001:db8::/32"), Metadata("new")), std::nullopt);
  ASSERT_EQ(one->insert(P("192.0.2.0/24"), Metadata("newer")), std::nullopt);
  server.run({"HSET", key, "198.51.100.0/024", record("late")});  // learnt by a catch-up
  ASSERT_TRUE(caught_up_again(server, *one));
  EXPECT_EQ(value_at(*one, "198.51.100.1"), "late");
  EXPECT_TRUE(one->remove(P("198.51.100.0/24")));
  EXPECT_EQ(server.run({"HLEN", key}), "2");
  EXPECT_EQ(server.run({"HEXISTS", key, "192.0.2.0/24"}) + server.run({"HEXISTS", key, "2001:db8::/32"}), "11");
  auto two = make(server);
  EXPECT_EQ(value_at(*two, "10.1.1.1"), std::nullopt);
  EXPECT_EQ(value_at(*two, "2001:db8::1"), "new");
  EXPECT_EQ(value_at(*two, "192.0.2.1"), "newer");
  EXPECT_EQ(value_at(*two, "198.51.100.1"), std::nullopt);
}

TEST(HybridRedis, UnusableHashStartsEmptyUntilItIsUsable) {
  RedisServer server;
  server.run({"SET", std::string(redis::kEntriesKey), "a string, not a hash"});
  auto engine = make(server);
  EXPECT_EQ(engine->len(), 0u);
  EXPECT_EQ(engine->insert(P("10.0.0.0/8"), Metadata("a")), std::nullopt);  // local result kept
  EXPECT_EQ(value_at(*engine, "10.0.0.1"), "a");
  // A load that failed is tried again: once the hash is usable, it is
  // loaded, and the write that waited reaches it.
  server.run({"DEL", std::string(redis::kEntriesKey)});
  server.run({"HSET", std::string(redis::kEntriesKey), "172.16.0.0/12", R"(["b",{}])"});
  EXPECT_TRUE(eventually([&] { return value_at(*engine, "172.16.0.1") == "b"; }));
  EXPECT_EQ(value_at(*engine, "10.0.0.1"), "a");
  EXPECT_TRUE(eventually([&] { return server.run({"HGET", std::string(redis::kEntriesKey), "10.0.0.0/8"}) != "(nil)"; }));
}

// The entries key made a string, from before the engine's construction or
// after it.
TEST(HybridRedis, AnUnreadableHashIsFetchedLessAndLessOften) {
  for (const bool from_the_start : {true, false}) {
    SCOPED_TRACE(from_the_start ? "unreadable from the start" : "made unreadable later");
    RedisServer server;
    if (from_the_start) server.run({"SET", std::string(redis::kEntriesKey), "a string, not a hash"});
    auto engine = make(server);
    if (!from_the_start) server.run({"SET", std::string(redis::kEntriesKey), "a string, not a hash"});
    const long long loads = calls_of(server, "hgetall");
    // Refused with its transaction, whose count and notice still run: it is
    // tried again with the loads, not at every tick.
    EXPECT_EQ(engine->insert(P("10.0.0.0/8"), Metadata("a")), std::nullopt);
    const long long writes = calls_of(server, "publish");
    std::this_thread::sleep_for(std::chrono::milliseconds(4300));  // four of the subscriber's ticks
    EXPECT_LE(calls_of(server, "hgetall") - loads, 2);  // after one tick, then after two more
    EXPECT_LE(calls_of(server, "publish") - writes, 2);
  }
}

TEST(HybridRedis, WriteThroughWithHostBitsAndReload) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  {
    auto engine = make(server);
    server.run({"HSET", key, "10.1.2.3/8", R"(["older",{}])"});  // another writer's spelling
    ASSERT_EQ(engine->insert(P("10.1.2.3/8"), Metadata("a", {{"k", "v"}})), std::nullopt);
    EXPECT_EQ(value_at(*engine, "10.9.9.9"), "a");  // own change visible at once
    // The field names the entry as stored, host bits cleared, so that a
    // remove spelling it either way takes it out of the hash too; the
    // caller's spelling goes, so its older record cannot win at a load.
    EXPECT_EQ(server.run({"HGET", key, "10.0.0.0/8"}), R"({"value":"a","attributes":{"k":"v"}})");
    EXPECT_EQ(server.run({"HEXISTS", key, "10.1.2.3/8"}), "0");
    EXPECT_EQ(engine->remove(P("10.0.0.0/8"))->value(), "a");
    EXPECT_FALSE(engine->lookup(A("10.9.9.9")));
    EXPECT_EQ(server.run({"HEXISTS", key, "10.0.0.0/8"}), "0");
    // A field another writer spelt with host bits goes with a remove that
    // names it.
    server.run({"HSET", key, "172.16.5.5/12", R"(["c",{}])"});
    engine->remove(P("172.16.5.5/12"));
    EXPECT_EQ(server.run({"HEXISTS", key, "172.16.5.5/12"}), "0");
    EXPECT_FALSE(engine->remove(P("1.2.3.0/24")));  // never stored: HDEL still sent, nothing breaks
    // A record no reader could take back from the hash is refused whole.
    for (const Metadata& unreadable : {Metadata("caf\xe9"), Metadata("v", {{"k", "\xff"}}), Metadata("v", {{"\xc0\x80", "v"}})}) {
      EXPECT_TRUE(engine->insert(P("10.9.0.0/16"), unreadable).has_value());
    }
    EXPECT_FALSE(engine->contains(P("10.9.0.0/16")));
    EXPECT_EQ(server.run({"HEXISTS", key, "10.9.0.0/16"}), "0");
    ASSERT_EQ(engine->insert(P("2001:db8::/32"), Metadata("b")), std::nullopt);
    engine->clear();  // local only
    EXPECT_EQ(engine->len(), 0u);
    EXPECT_EQ(server.run({"HLEN", key}), "1");
  }
  auto again = make(server);  // a removed entry stays removed
  EXPECT_EQ(again->len(), 1u);
  EXPECT_FALSE(again->lookup(A("10.0.0.1")));
  EXPECT_EQ(value_at(*again, "2001:db8::5"), "b");
}

TEST(HybridRedis, ChangesReachOtherEnginesAndClearStaysLocal) {
  RedisServer server;
  auto one = make(server);
  auto two = make(server);
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("from one")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return value_at(*two, "10.1.1.1") == "from one"; }));
  EXPECT_TRUE(two->write_engine().contains(P("10.0.0.0/8")));
  ASSERT_EQ(two->insert(P("10.1.0.0/16"), Metadata("from two")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return value_at(*one, "10.1.1.1") == "from two"; }));
  EXPECT_TRUE(one->remove(P("10.1.0.0/16")));
  EXPECT_TRUE(eventually([&] { return value_at(*two, "10.1.1.1") == "from one"; }));
  two->clear();
  EXPECT_EQ(two->len(), 0u);
  // Nothing was sent: one keeps its entry, and a later change still flows.
  ASSERT_EQ(one->insert(P("192.168.0.0/16"), Metadata("c")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return two->len() == 1; }));
  EXPECT_EQ(one->len(), 2u);
  EXPECT_FALSE(two->lookup(A("10.1.1.1")));
}

TEST(HybridRedis, ServerStoppedThenRestarted) {
  RedisServer server;
  auto one = make(server);
  auto two = make(server);
  // `two` only reads: it learns of these from notices alone.
  for (const char* prefix : {"192.0.2.0/24", "100.64.0.0/10", "203.0.113.0/24"}) {
    ASSERT_EQ(one->insert(P(prefix), Metadata("early")), std::nullopt);
  }
  EXPECT_TRUE(eventually([&] { return two->len() == 3; }));
  server.stop();
  // Local results are never lost while the server is away.
  EXPECT_EQ(one->insert(P("10.0.0.0/8"), Metadata("offline")), std::nullopt);
  EXPECT_EQ(value_at(*one, "10.0.0.1"), "offline");
  EXPECT_EQ(one->remove(P("10.0.0.0/8"))->value(), "offline");
  EXPECT_EQ(one->insert(P("10.0.0.0/8"), Metadata("offline")), std::nullopt);
  EXPECT_EQ(one->pending_changes(), 1u);  // the newest change of the one field
  server.start();  // empty: the test server keeps nothing
  // The change made while the server was away is written on reconnect, and
  // the server's lost history removes nothing locally.
  EXPECT_TRUE(eventually([&] { return one->pending_changes() == 0; }));
  EXPECT_EQ(server.run({"HGET", std::string(redis::kEntriesKey), "10.0.0.0/8"}),
            R"({"value":"offline","attributes":{}})");
  // Writes resume on a replaced connection.
  EXPECT_EQ(one->insert(P("172.16.0.0/12"), Metadata("back")), std::nullopt);
  EXPECT_EQ(server.run({"HGET", std::string(redis::kEntriesKey), "172.16.0.0/12"}),
            R"({"value":"back","attributes":{}})");
  // The subscribers reconnect; a change made while `two` may not yet be
  // subscribed again is caught by its reload.
  EXPECT_TRUE(eventually([&] { return value_at(*two, "172.16.1.1") == "back"; }));
  EXPECT_TRUE(eventually([&] { return two->subscriptions() >= 2; }));
  server.run({"HSET", std::string(redis::kEntriesKey), "198.51.100.0/24", R"({"value":"x","attributes":{}})"});
  ASSERT_EQ(one->insert(P("198.18.0.0/15"), Metadata("live")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return value_at(*two, "198.18.0.1") == "live"; }));
  EXPECT_EQ(value_at(*one, "10.0.0.1"), "offline");  // kept locally throughout
  // Nor did the restart remove what `two` held, as it did not in `one`.
  EXPECT_EQ(value_at(*one, "192.0.2.1"), "early");
  EXPECT_EQ(value_at(*two, "192.0.2.1"), "early");
}

// Notices lost while a subscription was down are caught up from the hash
// when it comes back: inserts, changed records and removes alike, while
// local changes of the same moment are kept.
TEST(HybridRedis, CatchUpAfterADroppedSubscription) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto engine = make(server);
  ASSERT_EQ(engine->insert(P("10.0.0.0/8"), Metadata("kept")), std::nullopt);
  ASSERT_EQ(engine->insert(P("10.1.0.0/16"), Metadata("removed elsewhere")), std::nullopt);
  ASSERT_EQ(engine->insert(P("10.2.0.0/16"), Metadata("old")), std::nullopt);
  ASSERT_EQ(engine->insert(P("10.3.0.0/16"), Metadata("mine")), std::nullopt);
  // Another writer changes the hash without any notice reaching us, and
  // overwrites one entry with what is no record (no UTF-8): the field says
  // the entry is there, so the local record stays.
  server.run({"HDEL", key, "10.1.0.0/16"});
  server.run({"HSET", key, "10.2.0.0/16", R"({"value":"new","attributes":{}})"});
  server.run({"HSET", key, "10.3.0.0/16", "{\"value\":\"\xff\",\"attributes\":{}}"});
  server.run({"HSET", key, "2001:db8::/32", R"({"value":"added","attributes":{}})"});
  server.run({"INCRBY", std::string(redis::kGenerationKey), "3"});
  server.run({"CLIENT", "KILL", "TYPE", "pubsub"});
  EXPECT_TRUE(eventually([&] {
    return engine->subscriptions() >= 2 && value_at(*engine, "2001:db8::1") == "added" && engine->len() == 4;
  }));
  EXPECT_EQ(value_at(*engine, "10.3.1.1"), "mine");
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "kept");
  EXPECT_EQ(value_at(*engine, "10.2.1.1"), "new");
  EXPECT_EQ(value_at(*engine, "2001:db8::1"), "added");
  EXPECT_FALSE(engine->write_engine().contains(P("10.1.0.0/16")));
}

// A server that lost its data (flushed here, as a restart without
// persistence leaves it) and has since counted past the generation this
// engine saw: what it lost was not removed, so the catch-up keeps it, and
// so do later ones.
TEST(HybridRedis, CatchUpKeepsWhatALaterServerLost) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto engine = make(server);
  ASSERT_EQ(engine->insert(P("10.0.0.0/8"), Metadata("kept")), std::nullopt);
  ASSERT_EQ(engine->insert(P("10.1.0.0/16"), Metadata("kept too")), std::nullopt);
  server.run({"FLUSHDB"});
  server.run({"HSET", key, "2001:db8::/32", R"({"value":"added","attributes":{}})"});
  server.run({"INCRBY", std::string(redis::kGenerationKey), "5"});
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "2001:db8::1"), "added");
  EXPECT_EQ(value_at(*engine, "10.0.0.1"), "kept");
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "kept too");
  EXPECT_TRUE(engine->write_engine().contains(P("10.1.0.0/16")));
  // The server's new incarnation is now the one known: a remove made
  // elsewhere from here on is taken as one.
  removed_elsewhere(server, "2001:db8::/32");
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "2001:db8::1"), std::nullopt);
  EXPECT_EQ(value_at(*engine, "10.0.0.1"), "kept");
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "kept too");
  // Once written again, an entry the server lost is one like any other.
  ASSERT_EQ(engine->insert(P("10.1.0.0/16"), Metadata("written again")), std::nullopt);
  removed_elsewhere(server, "10.1.0.0/16");
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "10.1.1.1"), "kept");
  // The commoner restart: the server counts again below what this engine
  // saw. Removes made elsewhere after it are applied all the same.
  server.run({"FLUSHDB"});
  server.run({"HSET", key, "192.0.2.0/24", R"({"value":"after","attributes":{}})"});
  server.run({"INCR", std::string(redis::kGenerationKey)});
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "192.0.2.1"), "after");
  removed_elsewhere(server, "192.0.2.0/24");
  ASSERT_TRUE(caught_up_again(server, *engine));
  EXPECT_EQ(value_at(*engine, "192.0.2.1"), std::nullopt);
  EXPECT_EQ(value_at(*engine, "10.0.0.1"), "kept");
}

// Write-throughs the server refused while the subscription stayed up (no
// reconnect follows) are written once it takes writes again, except where
// another engine's later change of the field has already been applied
// here: writing ours then would leave this engine disagreeing with Redis.
TEST(HybridRedis, RefusedWritesAreWrittenWithoutAReconnectAndLeaveNoNoticeDue) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto one = refusable(server);
  auto two = make(server);
  refuse_writes(server, true);
  const long long published = calls_of(server, "publish");
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("kept")), std::nullopt);
  ASSERT_EQ(one->insert(P("192.0.2.0/24"), Metadata("older")), std::nullopt);
  EXPECT_EQ(one->pending_changes(), 2u);
  EXPECT_EQ(server.run({"HEXISTS", key, "10.0.0.0/8"}), "0");
  EXPECT_EQ(calls_of(server, "publish"), published) << "the notice of a refused write went out";
  ASSERT_EQ(two->insert(P("192.0.2.0/24"), Metadata("newer")), std::nullopt);
  ASSERT_TRUE(eventually([&] { return value_at(*one, "192.0.2.1") == "newer"; }));
  refuse_writes(server, false);
  EXPECT_TRUE(eventually([&] { return one->pending_changes() == 0; }));
  EXPECT_EQ(server.run({"HGET", key, "10.0.0.0/8"}), R"({"value":"kept","attributes":{}})");
  EXPECT_EQ(server.run({"HGET", key, "192.0.2.0/24"}), R"({"value":"newer","attributes":{}})");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // any notice of ours has arrived
  EXPECT_EQ(value_at(*one, "192.0.2.1"), "newer");
  EXPECT_EQ(value_at(*two, "192.0.2.1"), "newer");
  EXPECT_EQ(one->subscriptions(), 1u);

  // A write refused outright sent no notice, so none is due back. Counted
  // as due, it stayed so for good once the change was written again, and a
  // later change of ours that landed after another engine's (whose notice
  // we applied meanwhile) never came back into place when its own notice
  // arrived: we kept the other engine's record while the hash and that
  // engine held ours.
  ASSERT_TRUE(eventually([&] { return value_at(*two, "10.1.1.1") == "kept"; }));
  bool once = false;
  one->set_before_write_hook([&](const IpPrefix&) {
    if (std::exchange(once, true)) return;
    // The other engine's change lands between ours locally and ours in the hash.
    (void)two->insert(P("10.0.0.0/8"), Metadata("theirs"));
    EXPECT_TRUE(eventually([&] { return value_at(*one, "10.1.1.1") == "theirs"; }));
  });
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("ours")), std::nullopt);
  one->set_before_write_hook({});
  EXPECT_EQ(server.run({"HGET", key, "10.0.0.0/8"}), R"({"value":"ours","attributes":{}})");
  EXPECT_TRUE(eventually([&] { return value_at(*two, "10.1.1.1") == "ours"; }));
  EXPECT_TRUE(eventually([&] { return value_at(*one, "10.1.1.1") == "ours"; }));
}

// A user not allowed transactions could not write a change and its notice
// as one: construction refuses it. Should the server take transactions away
// later, each command then runs on its own: a write lands once, and is not
// taken for failed and sent again, and a catch-up still reads the hash.
TEST(HybridRedis, AUserWithoutTransactionsIsRefusedAndOneLosingThemStillWorks) {
  RedisServer server;
  auto one = refusable(server);
  server.run({"ACL", "SETUSER", "writer", "-multi"});
  try {
    create_engine(hybrid_config("redis://writer:pw@127.0.0.1:" + std::to_string(server.port())));
    ADD_FAILURE() << "construction succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("multi"), std::string::npos) << e.what();
  }
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("once")), std::nullopt);
  EXPECT_EQ(one->pending_changes(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the subscriber's retry tick
  EXPECT_EQ(calls_of(server, "hset"), 1);
  EXPECT_EQ(server.run({"HGET", std::string(redis::kEntriesKey), "10.0.0.0/8"}), R"({"value":"once","attributes":{}})");
  server.run({"HSET", std::string(redis::kEntriesKey), "192.0.2.0/24", R"({"value":"elsewhere","attributes":{}})"});
  ASSERT_TRUE(caught_up_again(server, *one));
  EXPECT_TRUE(eventually([&] { return value_at(*one, "192.0.2.1") == "elsewhere"; }));
}

// A change that leaves by an exception before its write settled (a failed
// allocation) leaves nothing behind that holds back the prefix's later
// writes: a refused one is written again once the server takes it.
TEST(HybridRedis, AChangeThatThrewDoesNotHoldBackLaterWrites) {
  RedisServer server;
  auto one = refusable(server);
  one->set_before_write_hook([](const IpPrefix&) { throw std::bad_alloc(); });
  EXPECT_THROW((void)one->insert(P("10.0.0.0/8"), Metadata("first")), std::bad_alloc);
  one->set_before_write_hook({});
  refuse_writes(server, true);
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("second")), std::nullopt);
  EXPECT_EQ(one->pending_changes(), 1u);
  refuse_writes(server, false);
  EXPECT_TRUE(eventually([&] { return one->pending_changes() == 0; }));
  EXPECT_EQ(server.run({"HGET", std::string(redis::kEntriesKey), "10.0.0.0/8"}), R"({"value":"second","attributes":{}})");
}

// Writes of one prefix reach the server in the order they were made. A
// change whose write fails after another engine's notice of the prefix
// arrived is the older one, and is not kept to be written over it; a
// pending change being written again goes before a newer local change of
// the prefix, never after.
TEST(HybridRedis, WritesOfOnePrefixLandInTheOrderTheyWereMade) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto one = refusable(server);
  auto two = make(server);
  refuse_writes(server, true);
  one->set_before_write_hook([&](const IpPrefix&) {
    ASSERT_EQ(two->insert(P("192.0.2.0/24"), Metadata("newer")), std::nullopt);
    ASSERT_TRUE(eventually([&] { return value_at(*one, "192.0.2.1") == "newer"; }));
  });
  ASSERT_EQ(one->insert(P("192.0.2.0/24"), Metadata("older")), std::nullopt);  // refused after two's change
  EXPECT_EQ(one->pending_changes(), 0u) << "an overtaken change was kept";

  one->set_before_write_hook(nullptr);
  ASSERT_EQ(one->insert(P("10.0.0.0/8"), Metadata("waits")), std::nullopt);  // refused: pending
  ASSERT_EQ(one->pending_changes(), 1u);
  std::atomic<bool> removing{false};
  std::atomic<bool> remover_made{false};  // `remover` is set: the main thread may join it
  std::thread remover;
  one->set_before_write_hook([&](const IpPrefix&) {
    // The pending write, about to go again: a newer remove of the prefix
    // starts meanwhile, and must land after it.
    if (removing.exchange(true)) return;
    remover = std::thread([&] { (void)one->remove(P("10.0.0.0/8")); });
    remover_made.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  refuse_writes(server, false);
  EXPECT_TRUE(eventually([&] { return remover_made.load() && one->pending_changes() == 0; }));
  while (removing.load() && !remover_made.load()) std::this_thread::yield();  // a hook still making it
  if (remover_made.load()) remover.join();  // never left joinable, whatever failed
  // The remove's write settles the pending change, and may do so before the
  // pending write itself has gone: it goes within the hook's 100 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  one->set_before_write_hook(nullptr);
  EXPECT_EQ(server.run({"HEXISTS", key, "10.0.0.0/8"}), "0");
  EXPECT_TRUE(eventually([&] { return !two->contains(P("10.0.0.0/8")); }));
  EXPECT_FALSE(one->contains(P("10.0.0.0/8")));
  EXPECT_EQ(server.run({"HGET", key, "192.0.2.0/24"}), R"({"value":"newer","attributes":{}})");
  EXPECT_EQ(value_at(*one, "192.0.2.1"), "newer");
  EXPECT_EQ(value_at(*two, "192.0.2.1"), "newer");
}

// Publishes a notice of a marker entry and waits until `engine` applies it:
// it has then applied every notice published before. Only a notice brings
// the marker (a catch-up's load could bring one in the hash before the
// notices held meanwhile are applied).
void hear_all_notices_so_far(const RedisServer& server, const HybridEngine& engine) {
  static int markers = 0;
  const std::string value = "marker " + std::to_string(++markers);
  server.run({"PUBLISH", "korvane:updates",
              R"(00000000000000ff I 198.51.100.0/24 {"value":")" + value + R"(","attributes":{}})"});
  ASSERT_TRUE(eventually([&] { return value_at(engine, "198.51.100.1") == value; }));
}

// What a and b hold of 10.0.0.0/8 once a has heard everything, after b's
// older change of it and a's newer one ("a's").
void expect_a_s_change_stays(const RedisServer& server, const HybridEngine& a, const HybridEngine& b,
                             const char* when) {
  hear_all_notices_so_far(server, a);
  EXPECT_EQ(value_at(a, "10.1.1.1"), "a's") << "an older change of b's stayed over a's " << when;
  EXPECT_TRUE(eventually([&] { return value_at(b, "10.1.1.1") == "a's"; }));
}

// Another engine's change that reached the server before ours, heard here
// after our local step, must not outlive our change here: our own notice,
// back in the server's order, puts ours back.
TEST(HybridRedis, AnOlderNoticeDoesNotUndoANewerChangeOfOurs) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto a = make(server);
  auto b = make(server);
  for (const bool a_inserts : {true, false}) {
    const std::string field = a_inserts ? "10.0.0.0/8" : "172.16.0.0/12";
    const IpPrefix p = P(field);
    if (!a_inserts) {
      ASSERT_EQ(a->insert(p, Metadata("old")), std::nullopt);
      ASSERT_TRUE(eventually([&] { return b->contains(p); }));
    }
    bool once = false;
    a->set_before_write_hook([&](const IpPrefix&) {  // after a's local step, before its write
      if (std::exchange(once, true)) return;
      if (a_inserts) {
        (void)b->remove(p);
      } else {
        (void)b->insert(p, Metadata("b's"));
      }
    });
    if (a_inserts) {
      ASSERT_EQ(a->insert(p, Metadata("a's")), std::nullopt);
    } else {
      (void)a->remove(p);
    }
    a->set_before_write_hook(nullptr);
    hear_all_notices_so_far(server, *a);  // b's write reached the server first, a's last
    EXPECT_EQ(server.run({"HEXISTS", key, field}), a_inserts ? "1" : "0");
    EXPECT_EQ(a->contains(p), a_inserts) << field << ": an older change of b's undid a's";
    EXPECT_EQ(a->write_engine().contains(p), a_inserts) << field;
    EXPECT_TRUE(eventually([&] { return b->contains(p) == a_inserts; })) << field;
  }
}

// The same across a reconnect: the subscription drops while our change is
// on its way, after an older change of another engine's was heard; our
// notice comes back on the new subscription and still puts ours back.
TEST(HybridRedis, AnOlderNoticeDoesNotUndoAChangeOnItsWayAcrossAReconnect) {
  RedisServer server;
  auto a = make(server);
  auto b = make(server);
  const IpPrefix p = P("10.0.0.0/8");
  auto subscribers = [&] {
    const std::string clients = server.run({"CLIENT", "LIST", "TYPE", "pubsub"});
    return static_cast<int>(std::count(clients.begin(), clients.end(), '\n'));
  };
  bool once = false;
  a->set_before_write_hook([&](const IpPrefix&) {  // after a's local step, before its write
    if (std::exchange(once, true)) return;
    (void)b->insert(p, Metadata("b's"));
    EXPECT_TRUE(eventually([&] { return value_at(*a, "10.1.1.1") == "b's"; }));
    server.run({"CLIENT", "KILL", "TYPE", "pubsub"});
    EXPECT_TRUE(eventually([&] { return subscribers() == 2; }));
  });
  ASSERT_EQ(a->insert(p, Metadata("a's")), std::nullopt);
  a->set_before_write_hook(nullptr);
  expect_a_s_change_stays(server, *a, *b, "across the reconnect");
}

// A change made and written between a new subscription and its catch-up:
// its notice comes back on the new subscription, after another engine's
// older change held meanwhile, and still puts ours back.
TEST(HybridRedis, AChangeMadeAsASubscriptionIsMadeStillWins) {
  RedisServer server;
  auto a = make(server);
  auto b = make(server);
  const IpPrefix p = P("10.0.0.0/8");
  bool once = false;
  a->set_before_catch_up_hook([&] {
    if (std::exchange(once, true)) return;
    (void)b->insert(p, Metadata("b's"));
    EXPECT_EQ(a->insert(p, Metadata("a's")), std::nullopt);
  });
  const auto before = a->subscriptions();
  server.run({"CLIENT", "KILL", "TYPE", "pubsub"});
  ASSERT_TRUE(eventually([&] { return a->subscriptions() > before; }));
  a->set_before_catch_up_hook(nullptr);
  expect_a_s_change_stays(server, *a, *b, "made as a subscription was made");
}

// A write whose reply timed out may still have reached the server, after
// another engine's older change that this one heard meanwhile: its notice,
// when it comes back, still puts our change back.
TEST(HybridRedis, AWriteWhoseReplyTimedOutStillWinsOverAnOlderNotice) {
  RedisServer server;
  auto a = make(server);
  auto b = make(server);
  const IpPrefix p = P("10.0.0.0/8");
  std::thread stall;
  bool once = false;
  a->set_before_write_hook([&](const IpPrefix&) {  // after a's local step, before its write
    if (std::exchange(once, true)) return;
    (void)b->insert(p, Metadata("b's"));
    EXPECT_TRUE(eventually([&] { return value_at(*a, "10.1.1.1") == "b's"; }));
    // The server busy for longer than a's reply may take: a's write waits
    // behind the script, times out, and is run when the script ends.
    stall = std::thread([&] {
      server.run({"EVAL",
                  "local t = redis.call('TIME') local e = t[1] * 1000000 + t[2] + 2600000 "
                  "repeat t = redis.call('TIME') until t[1] * 1000000 + t[2] >= e return 1",
                  "0"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  ASSERT_EQ(a->insert(p, Metadata("a's")), std::nullopt);
  a->set_before_write_hook(nullptr);
  stall.join();
  EXPECT_EQ(server.run({"HGET", std::string(redis::kEntriesKey), "10.0.0.0/8"}), R"({"value":"a's","attributes":{}})");
  expect_a_s_change_stays(server, *a, *b, "though the server took a's last");
}

// Notices of changes a load already counted (published before it read the
// hash, heard after it) must not keep a later catch-up from taking the hash
// for the whole truth: the two notices below, with no count of their own,
// are what such late notices look like.
TEST(HybridRedis, NoticesHeardAfterTheirLoadDoNotHoldBackRemoves) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  server.run({"HSET", key, "10.0.0.0/8", R"({"value":"ten","attributes":{}})", "192.0.2.0/24",
              R"({"value":"doc","attributes":{}})", "172.16.0.0/12", R"({"value":"late","attributes":{}})"});
  server.run({"INCRBY", std::string(redis::kGenerationKey), "3"});
  auto reader = make(server);  // never writes
  server.run({"PUBLISH", "korvane:updates", R"(00000000000000aa I 10.0.0.0/8 {"value":"ten","attributes":{}})"});
  server.run({"PUBLISH", "korvane:updates", R"(00000000000000aa I 172.16.0.0/12 {"value":"heard","attributes":{}})"});
  ASSERT_TRUE(eventually([&] { return value_at(*reader, "172.16.0.1") == "heard"; }));
  removed_elsewhere(server, "192.0.2.0/24");  // one change missed: fewer than the late notices
  ASSERT_TRUE(caught_up_again(server, *reader));
  EXPECT_EQ(value_at(*reader, "192.0.2.1"), std::nullopt) << "a remove made elsewhere was never applied";
  EXPECT_EQ(value_at(*reader, "172.16.0.1"), "late");
  EXPECT_EQ(value_at(*reader, "10.1.1.1"), "ten");
}

// A server restored from an older copy of its data keeps its incarnation
// token but has counted fewer changes than the engines saw. An engine that
// only reads, and heard the lost changes as notices, must not take its hash
// for the whole truth either: it would drop what the writer keeps.
TEST(HybridRedis, AServerBehindWhatNoticesToldOfRemovesNothing) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto reader = make(server);
  auto writer = make(server);
  auto gets = [&] {  // the GETs the server ran: only the reader's tick sends one
    const std::string stats = server.run({"INFO", "commandstats"});
    const auto at = stats.find("cmdstat_get:calls=");
    return at == std::string::npos ? 0L : std::stol(stats.substr(at + 18));
  };
  ASSERT_EQ(writer->insert(P("10.0.0.0/8"), Metadata("one")), std::nullopt);
  ASSERT_EQ(writer->insert(P("11.0.0.0/8"), Metadata("two")), std::nullopt);
  ASSERT_TRUE(eventually([&] { return reader->contains(P("11.0.0.0/8")); }));
  const long before = gets();
  (void)eventually([&] { return gets() > before; }, std::chrono::seconds(10));  // the reader's tick
  server.run({"HDEL", key, "11.0.0.0/8"});
  server.run({"SET", std::string(redis::kGenerationKey), "1"});
  const auto writer_before = writer->subscriptions();
  ASSERT_TRUE(caught_up_again(server, *reader));
  ASSERT_TRUE(eventually([&] { return writer->subscriptions() > writer_before; }));
  EXPECT_TRUE(reader->contains(P("11.0.0.0/8"))) << "the reader took a server behind it for the whole truth";
  EXPECT_TRUE(writer->contains(P("11.0.0.0/8")));
  EXPECT_TRUE(reader->contains(P("10.0.0.0/8")));
}

// A clear while a catch-up applies the hash counts as after it: the engine
// ends up empty, never holding part of the table.
TEST(HybridRedis, AClearDuringACatchUpLeavesAllOrNothing) {
  RedisServer server;
  constexpr int kEntries = 65536;  // every 10.x.y.0/24
  std::vector<std::string> hset{"HSET", std::string(redis::kEntriesKey)};
  for (int i = 0; i < kEntries; ++i) {
    hset.push_back("10." + std::to_string(i >> 8) + "." + std::to_string(i & 255) + ".0/24");
    hset.push_back(R"({"value":"x","attributes":{}})");
  }
  server.run(hset);
  auto engine = make(server);
  engine->clear();
  const auto before = engine->subscriptions();
  server.run({"CLIENT", "KILL", "TYPE", "pubsub"});
  ASSERT_TRUE(eventually([&] { return engine->len() > 0 || engine->subscriptions() > before; }));
  engine->clear();
  ASSERT_TRUE(eventually([&] { return engine->subscriptions() > before; }));
  const auto n = engine->len();
  EXPECT_TRUE(n == 0 || n == static_cast<std::uint64_t>(kEntries)) << n << " of " << kEntries;
  EXPECT_EQ(engine->write_engine().len(), n);
}

// A child forked while an engine exists must not talk on its parent's
// sockets (their replies would cross), and dropping its copy of the engine
// must neither hang on the parent's subscriber thread nor disturb it.
TEST(HybridRedis, AForkedChildUsesConnectionsOfItsOwn) {
  RedisServer server;
  const std::string key(redis::kEntriesKey);
  auto engine = make(server);
  ASSERT_EQ(engine->insert(P("10.0.0.0/8"), Metadata("parent")), std::nullopt);  // pools a connection
  // An inherited engine is usable in the child only if no other thread was
  // changing it at the fork: its subscriber has applied every notice, and
  // none comes until the child's.
  hear_all_notices_so_far(server, *engine);
  auto connections_made = [&] {  // so far, this query's own included
    const std::string info = server.run({"INFO", "stats"});
    const std::string field = "total_connections_received:";
    return std::stoll(info.substr(info.find(field) + field.size()));
  };
  const long long before = connections_made();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = engine->insert(P("10.1.0.0/16"), Metadata("child")) == std::nullopt;
    ok = ok && value_at(*engine, "10.1.1.1") == "child";
    engine.reset();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  const bool exited = eventually([&] { return waitpid(child, &status, WNOHANG) == child; });
  if (!exited) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  ASSERT_TRUE(exited) << "the child hung";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // One connection for the child's insert, one for this query.
  EXPECT_EQ(connections_made() - before, 2) << "the child wrote on its parent's connection";
  EXPECT_EQ(server.run({"HGET", key, "10.1.0.0/16"}), R"({"value":"child","attributes":{}})");
  // The child's notice names an origin of its own, which the parent applies.
  EXPECT_TRUE(eventually([&] { return value_at(*engine, "10.1.1.1") == "child"; })) << "the parent ignored its child's change";
  // The parent's pooled connection and subscriber carry on.
  ASSERT_EQ(engine->insert(P("192.0.2.0/24"), Metadata("after")), std::nullopt);
  EXPECT_EQ(server.run({"HGET", key, "192.0.2.0/24"}), R"({"value":"after","attributes":{}})");
  auto other = make(server);
  ASSERT_EQ(other->insert(P("198.51.100.0/24"), Metadata("other")), std::nullopt);
  EXPECT_TRUE(eventually([&] { return value_at(*engine, "198.51.100.1") == "other"; }));
  EXPECT_EQ(engine->subscriptions(), 1u) << "the child woke the parent's subscriber";
}

}  // namespace
}  // namespace korvane
