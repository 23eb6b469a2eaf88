// zarvion-dvrsim: the simulated recorder as a stand-alone server. Commands
// on standard input act on every connected client, one per line.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dvrsim/dvrsim.h"
#include "zarvion_version.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 's';
  (void)!write(g_signalPipe[1], &c, 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(zarvion::dvrsim::UsageText().c_str(), stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("zarvion-dvrsim %s\n", ZARVION_VERSION);
      return 0;
    }
  }
  zarvion::dvrsim::Options options;
  std::string error;
  if (!zarvion::dvrsim::ParseArguments(args, &options, &error)) {
    std::fprintf(stderr, "zarvion-dvrsim: %s (see --help)\n", error.c_str());
    return 2;
  }

  if (pipe(g_signalPipe) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zarvion::dvrsim::Server server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "zarvion-dvrsim: %s\n", server.Error().c_str());
    return 1;
  }
  std::printf("listening on %s:%u\n", options.bind.c_str(), unsigned{server.Port()});
  std::fflush(stdout);

  bool inputOpen = true;
  std::string pending;
  while (!server.Finished()) {
    pollfd p[2] = {{g_signalPipe[0], POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
    if (poll(p, 2, 100) < 0 && errno != EINTR) break;
    if (p[0].revents & POLLIN) break;
    if (!(p[1].revents & (POLLIN | POLLHUP))) continue;
    char buffer[4096];
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) {
      // Without input the server keeps running until its time is up or a
      // signal ends it.
      inputOpen = false;
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      if (!server.Command(line)) {
        std::fprintf(stderr, "zarvion-dvrsim: command not understood: %s\n", line.c_str());
      }
    }
  }
  server.Stop();
  return 0;
}
