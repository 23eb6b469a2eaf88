// A simulated recorder: speaks the recorder's side of the protocol on
// loopback, with real encoded live video, recordings, views, notices and
// deliberate misbehaviour on request. Used by the tests, by the viewer's
// demo mode and as the stand-alone executable zarvion-dvrsim.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/protocol.h"

namespace zarvion::dvrsim {

struct Options {
  std::string bind = "127.0.0.1";
  uint16_t port = 0;   // 0 = any free port
  int channels = 16;   // 0..16
  uint16_t flags = 3;  // SessionFlags
  int fps = 25, gop = 25, bitrate = 1500000;
  int recordings = 8, steps = 600;
  std::optional<std::string> login;  // accept only this login parameter
  std::vector<std::string> faults;   // --fault names (see KnownFaults)
  double durationSeconds = 0;        // 0 = run until stopped
  std::vector<std::pair<double, std::string>> noticesAfter;
  std::string logFile;  // JSON lines, empty = none
  // An object crosses one channel after another, one every this many
  // seconds (0 = never): a demo's cameras that see something now and then.
  double wanderSeconds = 0;
};

// The fault names the server understands, in the order --help lists them
// (faults.h says what each one does).
const std::vector<std::string>& KnownFaults();
// What --help prints: the options, the commands and every fault name.
std::string UsageText();

struct LoggedMessage {
  int client;            // 1, 2, ... in connection order
  MessageHeader header;  // as received
  bool checksumValid;
  std::vector<uint8_t> payload;  // Login's 128 bytes, PlayFileRequest's FileRecord
};

class Server {
 public:
  explicit Server(Options options);
  ~Server();  // Stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool Start();               // encodes the loops, binds, listens, starts threads
  std::string Error() const;  // why Start failed
  uint16_t Port() const;
  // "view single K", "view grid N", "notice TEXT", "pause [K]", "resume [K]",
  // "motion K [SECONDS]", "light K [on|off]", "noise K LEVEL", "close"; false
  // if not understood.
  bool Command(const std::string& line);
  std::vector<LoggedMessage> Messages() const;  // snapshot of everything received
  // True once a matching message is in the log (including ones already there).
  bool WaitFor(std::function<bool(const LoggedMessage&)> match, int timeoutMs) const;
  int ConnectedClients() const;
  std::vector<std::string> RecordingLocations() const;  // the locations FileList carries
  // True once the time given by durationSeconds has passed (or Stop() ran).
  bool Finished() const;
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Parses the executable's command line (argv[0] excluded). On failure returns
// false with a one-line message in *error.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);

}  // namespace zarvion::dvrsim
