// One client of the simulated recorder. Each session has two threads: a
// reader that logs and answers every request, and a writer that is the only
// one to send on the socket (queued replies first, then the live frames due
// at each tick). One slow client therefore only ever blocks its own writer.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dvrsim/dvrsim.h"
#include "dvrsim/encoder.h"
#include "dvrsim/faults.h"
#include "dvrsim/message_log.h"
#include "dvrsim/scenes.h"

namespace zarvion::dvrsim {

using Bytes = std::vector<uint8_t>;

// A whole message: the header with its payload behind it.
Bytes Message(const MessageHeader& h, const uint8_t* payload = nullptr, size_t size = 0);
Bytes FrameMessage(uint8_t channel, const EncodedFrame& f);

// What all sessions of one server share. Set up before the first session
// starts and fixed from then on, except where a member says otherwise.
struct Recorder {
  Options options;
  FaultSet faults;
  int stopFd = -1;  // readable once the server stops

  int loopLength = 0;
  std::vector<std::vector<EncodedFrame>> loops;  // the live video, per channel
  std::vector<std::string> locations;            // the recordings FileList names
  // Scenes on command; thread-safe on its own.
  std::unique_ptr<Scenes> scenes;

  // The picture settings VideoParamSet changes and VideoParamQuery reads.
  mutable std::mutex tableMutex;
  std::array<VideoParamRecord, kMaxChannels> table{};  // guarded by tableMutex

  MessageLog log;
  std::atomic<bool> stopping{false};
  // Live frames held back (the sessions stay open): a recorder whose
  // cameras stall.
  std::atomic<bool> paused{false};
  // Channels held back on their own (bit c - 1 for channel c): a camera
  // that stalls while the others go on.
  std::atomic<uint32_t> pausedChannels{0};
};

class Session {
 public:
  using Clock = std::chrono::steady_clock;

  Recorder* recorder;
  int id;
  int fd;
  std::thread reader, writer;
  std::atomic<bool> readerDone{false}, writerDone{false};
  std::atomic<bool> closing{false};

  // Shared by the reader and the writer: guarded by mutex.
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Bytes> outbox;
  bool loggedIn = false;
  bool liveStarted = false;
  Clock::time_point liveDeadline = Clock::time_point::max();
  bool maskSet = false;
  uint16_t mask = 0;
  uint16_t rewind = 0;  // channels that must restart at a key frame

  // Reader-only playback state.
  int playing = -1;
  std::unique_ptr<Mp43Encoder> playEncoder;
  int64_t lastStep = -2;

  Session(Recorder* r, int client, int socket) : recorder(r), id(client), fd(socket) {}

  // Starts the reader and the writer.
  void Run();
  void Queue(Bytes message);
  // Ends our direction only: the peer still reads everything sent so far,
  // and the reader keeps draining until the peer closes its side too.
  void Close();
  void Abort();

 private:
  void StartLive();
  bool Send(const uint8_t* data, size_t count);
  bool Send(const Bytes& m) { return Send(m.data(), m.size()); }
  void ReadLoop();
  void WriteLoop();
  bool Handle(const MessageHeader& h, const Bytes& payload);
  void Step(uint32_t step);
  bool SendOnceFaults();
};

}  // namespace zarvion::dvrsim
