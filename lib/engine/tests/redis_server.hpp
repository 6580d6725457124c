// A private redis-server for tests: started on a free loopback port, with
// no persistence, stopped by the destructor. A missing redis-server is a
// test failure, never a skip: scripts/setup.sh installs it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace korvane::testing {

class RedisServer {
 public:
  RedisServer() : port_(free_port()) { start_retrying(true); }
  ~RedisServer() { stop(); }
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

  // Starts the server again on port(), after stop().
  void start() { start_retrying(false); }

 private:
  struct PortTaken : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  static constexpr int kStartAttempts = 5;

  // The chosen port can be taken before the server binds it: by another
  // test's server, or as the local port of some connection on this host.
  // A first start then tries a fresh port; a restart, which must keep its
  // port, waits a little for it.
  void start_retrying(bool fresh_port) {
    for (int attempt = 1;; ++attempt) {
      try {
        start_once();
        return;
      } catch (const PortTaken&) {
        if (attempt == kStartAttempts) throw;
        if (fresh_port) {
          port_ = free_port();
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
      }
    }
  }

  void start_once() {
    const std::string port = std::to_string(port_);
    std::vector<std::string> args = {"redis-server", "--bind", "127.0.0.1", "--port", port, "--save", "",
                                     "--appendonly", "no", "--dir", "/tmp", "--loglevel", "warning"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its output goes nowhere: a server that outlived a crashed test would
    // otherwise hold the test runner's output pipe open, and the runner
    // would wait for it until its time-out.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid_, "redis-server", &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start redis-server (is it installed? scripts/setup.sh installs it)");
    }
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // its port taken meanwhile, or no server at all
        pid_ = -1;
        throw PortTaken("redis-server exited at start on port " + port + " (is it installed?)");
      }
      // The answer must be this server's: another test's could hold the
      // port if it was taken between choosing it and binding it.
      if (ping()) {
        if (run({"INFO", "server"}).find("process_id:" + std::to_string(pid_) + "\r") != std::string::npos) return;
        stop();
        throw PortTaken("another server answers on port " + port);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    stop();
    throw std::runtime_error("redis-server did not answer PING within 5 s");
  }

 public:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Runs one command on a fresh connection; the reply as text (strings,
  // status, integers), "(nil)" or "(error) ...".
  std::string run(const std::vector<std::string>& args) const {
    redisContext* c = redisConnect("127.0.0.1", port_);
    if (c == nullptr || c->err) {
      if (c) redisFree(c);
      return "(no connection)";
    }
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const auto& a : args) {
      argv.push_back(a.data());
      lens.push_back(a.size());
    }
    auto* r = static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    std::string out;
    if (r == nullptr) out = "(no reply)";
    else if (r->type == REDIS_REPLY_NIL) out = "(nil)";
    else if (r->type == REDIS_REPLY_INTEGER) out = std::to_string(r->integer);
    else if (r->type == REDIS_REPLY_ERROR) out = "(error) " + std::string(r->str, r->len);
    else if (r->type == REDIS_REPLY_ARRAY) out = "(array " + std::to_string(r->elements) + ")";
    else out.assign(r->str, r->len);
    if (r) freeReplyObject(r);
    redisFree(c);
    return out;
  }

  bool ping() const { return run({"PING"}) == "PONG"; }

  static int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      close(fd);
      throw std::runtime_error("cannot find a free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

// Polls `condition` every 5 ms for up to `limit`; true once it holds. The
// limit only bounds a failing run: sanitizer builds on a loaded host take
// seconds for what takes milliseconds elsewhere.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// A socket listening on a free loopback port (no server behind it), and
// the URL of that port.
inline std::pair<int, std::string> loopback_listener() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen on a loopback port");
  }
  return {fd, "redis://127.0.0.1:" + std::to_string(ntohs(addr.sin_port))};
}

}  // namespace korvane::testing
