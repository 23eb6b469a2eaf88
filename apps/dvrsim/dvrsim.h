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
  std::vector<std::string> faults;   // --fault names
  double durationSeconds = 0;        // 0 = run until stopped
  std::vector<std::pair<double, std::string>> noticesAfter;
  std::string logFile;  // JSON lines, empty = none
};

// The fault names the server understands. Each acts on every session:
//   oversize-frame        a VideoFrame of 409,600 bytes (payload sent in full),
//   channel-out-of-range  a real key frame on channel 20,
//   long-notice           a 3,000-byte ServerNotice without NUL,
//   unknown-code          a header with code 5 and no payload:
//                         each once, right after the session start, before
//                         the live video;
//   big-param-table       VideoParamTable answers with 40 records;
//   truncated-frame       the sixth round of live frames stops halfway
//                         through a payload and the connection is closed;
//   trickle               every byte is sent on its own, ~0.1 ms apart;
//   wrong-first-reply     SessionQuery gets a FileList of 0 records, then
//                         live video as usual;
//   close-after-login     the connection is closed once Login arrives.
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
  // "view single K", "view grid N", "notice TEXT", "close"; false if not understood.
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
