#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace zarvion::wallbench {
namespace {

bool Executable(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool pipeIn,
            bool pipeOut, bool quiet) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if (pipeIn && pipe(inPipe) != 0) return {};
  if (pipeOut && pipe(outPipe) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (pipeIn) {
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_addclose(&fa, inPipe[1]);
  }
  if (pipeOut) {
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_addclose(&fa, outPipe[0]);
  } else if (quiet) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const std::string key = kv.substr(0, kv.find('='));
    bool replaced = false;
    for (const auto& r : env) replaced |= r.substr(0, r.find('=')) == key;
    if (!replaced) envStore.push_back(kv);
  }
  for (const auto& r : env) envStore.push_back(r);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  Child c;
  if (posix_spawnp(&c.pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) c.pid = 0;
  posix_spawn_file_actions_destroy(&fa);
  if (pipeIn) {
    close(inPipe[0]);
    c.in = fdopen(inPipe[1], "w");
  }
  if (pipeOut) {
    close(outPipe[1]);
    c.out = fdopen(outPipe[0], "r");
  }
  return c;
}

void Stop(Child& c) {
  if (c.in) fclose(c.in);
  c.in = nullptr;
  if (c.pid > 0) {
    kill(c.pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
        c.pid = 0;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (c.pid > 0) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
    }
  }
  if (c.out) fclose(c.out);
  c.out = nullptr;
  c.pid = 0;
}

std::string ReadLine(FILE* f) {
  char buffer[4096];
  if (!f || !fgets(buffer, sizeof buffer, f)) return {};
  std::string s = buffer;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

XServer StartXvfb() {
  XServer x;
  if (!Executable("Xvfb")) return x;
  for (int n = 90 + (getpid() % 50); n < 200; ++n) {
    const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    if (access(sock.c_str(), F_OK) == 0 || access(lock.c_str(), F_OK) == 0) continue;
    x.child =
        Spawn({"Xvfb", ":" + std::to_string(n), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"},
              {}, false, false, true);
    if (x.child.pid <= 0) return XServer{};
    for (int i = 0; i < 500 && access(sock.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (access(sock.c_str(), F_OK) != 0) {
      Stop(x.child);
      continue;
    }
    x.display = ":" + std::to_string(n);
    return x;
  }
  return XServer{};
}

}  // namespace zarvion::wallbench
