// Two processes sharing one table through Redis.
//
//   korvane_shared_table [redis://host:port]
//
// Without a URL the example starts a private redis-server on a free
// loopback port (and stops it at the end). The parent and a forked child
// each build a hybrid engine on the same server: the child inserts a
// prefix, the parent sees it arrive through the update channel and removes
// it, and the child sees the remove. Exit status 0 when both sides saw
// every change.
#include <korvane/korvane.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

extern char** environ;

namespace {

using namespace std::chrono_literals;

korvane::EngineHandle shared_engine(const std::string& url) {
  korvane::EngineConfig config;
  config.hybrid = true;
  config.redis_url = url;  // the update channel defaults to "korvane:updates"
  return korvane::create_engine(config);
}

// Waits up to 30 s for `condition` (a slow or busy machine may need many).
template <class F>
bool wait_for(F condition) {
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// Spawns a throw-away redis-server: no persistence; its pid, or -1.
pid_t spawn_redis(int port) {
  std::string port_text = std::to_string(port);
  const char* argv[] = {"redis-server", "--bind", "127.0.0.1", "--port", port_text.c_str(), "--save", "",
                        "--appendonly", "no", "--loglevel", "warning", nullptr};
  // The server's log would mix with ours, and a server left behind by a
  // killed run would hold our caller's output pipes open.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, "redis-server", &quiet, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&quiet);
  return failed != 0 ? -1 : pid;
}

// Whether the server with process id `pid` answers on the port. INFO names
// the process: another server that took the port meanwhile does not count.
bool answers(int port, pid_t pid) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const std::string wanted = "process_id:" + std::to_string(pid) + "\r";
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && send(fd, "INFO server\r\n", 13, MSG_NOSIGNAL) == 13) {
    char buffer[4096];
    ssize_t n = 0;
    while (reply.find(wanted) == std::string::npos && reply.size() < 65536 &&
           (n = read(fd, buffer, sizeof buffer)) > 0) {
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return reply.find(wanted) != std::string::npos;
}

// A throw-away redis-server on a free loopback port, answering: its pid
// and port, or a pid of -1. A port found free can be taken before the
// server binds it (by another server, or as some connection's own port);
// the server then exits, and another port is tried.
std::pair<pid_t, int> start_redis() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = free_port();
    const pid_t pid = spawn_redis(port);
    if (pid < 0) return {-1, 0};
    bool exited = false;
    const bool up = wait_for([&] {
      exited = waitpid(pid, nullptr, WNOHANG) == pid;
      return exited || answers(port, pid);
    });
    if (up && !exited) return {pid, port};
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return {-1, 0};
    }
  }
  return {-1, 0};
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // the two processes' lines in order
  std::string url;
  pid_t server = -1;
  if (argc > 1) {
    url = argv[1];
  } else {
    int port = 0;
    std::tie(server, port) = start_redis();
    if (server < 0) {
      std::fprintf(stderr, "cannot start redis-server; pass a redis:// URL instead\n");
      return 1;
    }
    url = "redis://127.0.0.1:" + std::to_string(port);
  }
  const korvane::IpPrefix prefix = korvane::parse_prefix("203.0.113.0/24").value();
  const korvane::IpAddress inside = korvane::parse_address("203.0.113.7").value();

  // Fork before any engine exists: the child starts single-threaded.
  const pid_t child = fork();
  if (child == 0) {
    korvane::EngineHandle engine;
    if (!wait_for([&] {
          try {
            engine = shared_engine(url);  // the server may still be starting
            return true;
          } catch (const std::runtime_error&) {
            return false;
          }
        })) {
      _exit(1);
    }
    engine->insert(prefix, korvane::Metadata("edge-pop", {{"site", "fra1"}}));
    std::printf("child:  inserted 203.0.113.0/24\n");
    const bool removed = wait_for([&] { return !engine->lookup(inside); });
    std::printf("child:  %s\n", removed ? "saw the parent's remove" : "never saw the remove");
    std::fflush(stdout);
    _exit(removed ? 0 : 1);
  }

  bool ok = false;
  try {
    korvane::EngineHandle engine;
    wait_for([&] {
      try {
        engine = shared_engine(url);
        return true;
      } catch (const std::runtime_error&) {
        return false;
      }
    });
    if (engine) {
      ok = wait_for([&] { return engine->lookup(inside).has_value(); });
      if (ok) {
        const auto record = engine->lookup(inside);
        std::printf("parent: 203.0.113.7 -> %s (site %s), from the child\n", std::string(record->value()).c_str(),
                    record->attributes().at("site").c_str());
        engine->remove(prefix);
        std::printf("parent: removed 203.0.113.0/24\n");
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "parent: %s\n", e.what());
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (server > 0) {
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
  }
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
