// The benchmark's other processes: the recorder, the measured viewer, an X
// server of its own and ffmpeg, each started with pipes where the driver
// talks to it.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zarvion::wallbench {

struct Child {
  pid_t pid = 0;
  FILE* out = nullptr;  // its standard output
  FILE* in = nullptr;   // its standard input
};

// Starts argv[0] (looked up on PATH) with this process's environment, where
// each "KEY=value" of `env` replaces or adds one. `quiet` sends what is not
// piped to /dev/null. pid 0 when it could not start.
Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool pipeIn,
            bool pipeOut, bool quiet);
// Closes its input, asks it to end (SIGTERM, then SIGKILL after two
// seconds), reaps it and closes its output.
void Stop(Child& c);
// One line without its end; empty at the end of the stream.
std::string ReadLine(FILE* f);

// An X server of our own, so its CPU can be read apart.
struct XServer {
  Child child;
  std::string display;  // empty when there is none
};
// Xvfb on the first free display from a per-process start, if installed.
XServer StartXvfb();

}  // namespace zarvion::wallbench
