// The measured side of the wall benchmark: this program started with
// --viewer runs the real control window against the recorder, waits for
// the live wall, takes the scenario's view, records the warm-up and then
// measures. Its last line on stdout is "result key=value ...".
#pragma once

#include <sys/types.h>

#include <string>

namespace zarvion::wallbench {

struct ViewerArgs {
  std::string port;
  // "grid": the wall as the session starts it; "server-single": the
  // recorder selects one channel ("ready" on stdout asks the driver to send
  // it); "clicked-single": a double-click on pane 0. "grid-motion": the grid
  // of a recorder whose objects wander from channel to channel, motion
  // detection on for every channel; then as long again with detection
  // switched off and on every second.
  std::string scenario = "grid";
  double seconds = 15;
  double warmup = 3;
  std::string recordDir;  // where the warm-up is recorded; empty = nowhere
  pid_t xServer = 0;      // whose CPU is counted as the X server's; 0 = none
};

// Runs the Qt application; 0 once the result line is out.
int RunViewer(int argc, char** argv, const ViewerArgs& a);

}  // namespace zarvion::wallbench
