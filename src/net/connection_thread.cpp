#include "net/connection_thread.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "net/message_reader.h"
#include "net/playback.h"
#include "net/session_log.h"
#include "net/transfer.h"

namespace zarvion {
namespace {

constexpr uint32_t kQuietMs = 100;

uint32_t NextThreadId() {
  static std::atomic<uint32_t> next{1};
  return next++;
}

// One connected session: the session start, the steady loop and dispatch.
// Every receive failure ends the session, because whatever follows would be
// read out of step with the server's messages.
class Session {
 public:
  explicit Session(ControlObject& obj)
      : obj_(obj), stop_(obj.hStopEvent.get()), reader_(obj.socket, stop_) {}

  void Run() {
    if (Begin()) SteadyState();
  }

  // The recorder sent its first reply to the login (the session's
  // information, or a message that came before it).
  bool Answered() const { return answered_; }

 private:
  bool Receive(void* buffer, uint32_t count) { return reader_.Read(buffer, count); }

  // Reads and drops `count` bytes.
  bool Discard(uint32_t count) { return reader_.Skip(count); }

  bool ReceiveHeader(MessageHeader* header) {
    uint8_t raw[kHeaderSize] = {};
    if (!Receive(raw, kHeaderSize)) return false;
    *header = MessageHeader::Decode(raw);
    return true;
  }

  uint32_t FrameCapacity() const {
    return std::min<uint32_t>(uint32_t{obj_.wFrameWidth} * obj_.wFrameHeight * 4, kFrameBufferSize);
  }

  void Redraw() {
    if (obj_.video) obj_.video->Redraw();
  }

  bool Begin() {
    char login[kLoginPayloadSize];
    {
      std::lock_guard lock(obj_.settingsLock);
      std::memcpy(login, obj_.szLoginPara, kLoginPayloadSize);
    }
    SendMessage(obj_, ComposeLogin(), login, kLoginPayloadSize);
    SendMessage(obj_, ComposeSessionQuery());

    MessageHeader reply;
    if (!ReceiveHeader(&reply)) return false;
    answered_ = true;
    if (reply.code == kSessionInfo) {
      // Beyond 16 channels there are neither decoders nor picture settings;
      // the channel list must not offer channels the control cannot hold.
      obj_.channelCount = std::min<uint32_t>(reply.channel, kMaxChannels);
      obj_.sessionFlags = reply.param4;
      FitViewToChannels();
    } else if (!Dispatch(reply)) {
      // Another message came first: the session values stay as they were,
      // but its payload is read so the stream stays in step.
      return false;
    }
    const uint32_t flags = obj_.sessionFlags;
    if (obj_.ui) obj_.ui->SessionStarted(flags, obj_.channelCount.load());
    if (flags & kFlagPictureSettings) {
      if (!SendMessage(obj_, ComposeVideoParamQuery())) return false;
      MessageHeader table;
      if (!ReceiveHeader(&table)) return false;
      // A message that overtook the table is handled as in the steady state;
      // the table itself then arrives there.
      if (!Dispatch(table)) return false;
    }
    return true;
  }

  // A recorder with fewer channels than the 4 x 4 grid has panes gets the
  // view that fits them, unless a layout was chosen: a grid at once, the
  // single view of a one-channel recorder with its first picture (a single
  // view enlarges only a channel that sends).
  void FitViewToChannels() {
    const ViewState view = ReadView(obj_);
    const uint32_t channels = obj_.channelCount.load();
    fitSingle_ = MayFitView(view) && IsChannelView(FittedView(channels));
    const ViewStep step = FitToChannels(view, channels);
    if (step.applies) ShowView(step);
  }

  // Shows a view the recorder brought about, tells the window which view it
  // left, and redraws.
  void ShowView(const ViewStep& step) {
    ApplyView(obj_, step);
    if (step.Changed() && obj_.ui) obj_.ui->ViewChanged(step.Left());
    Redraw();
  }

  bool VideoParamTable(const MessageHeader& h) {
    const uint32_t records = h.length & 0xFF;
    for (uint32_t j = 0; j < records; ++j) {
      uint8_t record[kVideoParamRecordSize];
      if (!Receive(record, sizeof record)) return false;
      // Only 16 channels have an entry; later records are read and dropped.
      if (j < kMaxChannels) {
        std::lock_guard lock(obj_.videoParamLock);
        std::memcpy(obj_.byVideoParam[j].data(), record, sizeof record);
      }
    }
    return true;
  }

  // Every quiet 100 ms, or as often among frames: the video's clock (see
  // VideoSink::Tick), which frames of other channels must not hold back.
  // False once the stop event is set: messages already received are not
  // waited for, so this is where a stop is seen while they are handled.
  bool Tick() {
    now_ = std::chrono::steady_clock::now();
    if (now_ - lastTick_ < std::chrono::milliseconds(kQuietMs)) return true;
    lastTick_ = now_;
    if (reader_.Buffered() > 0 && stop_->IsSet()) return false;
    if (obj_.video) obj_.video->Tick();
    return true;
  }

  void SteadyState() {
    lastTick_ = std::chrono::steady_clock::now();
    for (;;) {
      if (!Tick()) return;
      // Every message already received is handled before the thread waits.
      if (reader_.Buffered() == 0) {
        const int woke = WaitAny({stop_}, kQuietMs, obj_.socket.Fd(), POLLIN);
        if (woke == 0 || woke == kWaitFailed) return;
        if (woke == kWaitTimeout) {
          PlaybackStep(obj_);
          Redraw();
          continue;
        }
      }
      // Readable: either data or the end of the connection. Data still
      // waiting is read before a close is taken as the end: the header's
      // receive meets the end of the stream only when nothing is left.
      MessageHeader header;
      if (!ReceiveHeader(&header)) return;
      if (!Dispatch(header)) return;
    }
  }

  // False when the session cannot go on.
  bool Dispatch(const MessageHeader& h) {
    switch (h.code) {
      case kFileList:
        return HandleFileList(obj_, h, reader_);
      case kPlaybackInfo:
        HandlePlaybackInfo(obj_, h);
        return true;
      case kVideoFrame:
        return VideoFrame(h);
      case kSelectView:
        SelectView(h);
        return true;
      case kServerNotice:
        return ServerNotice(h);
      case kVideoParamTable:
        // The reply to our query; it comes late when another message
        // overtook it, and its records must be read either way.
        return VideoParamTable(h);
      default:
        // Unhandled codes carry no payload that the client reads.
        return true;
    }
  }

  bool VideoFrame(const MessageHeader& h) {
    if (h.channel >= kMaxChannels || !obj_.pFrameBuffer || h.length > FrameCapacity()) {
      // Nothing can hold or decode this frame; keep the stream in step.
      return Discard(h.length);
    }
    // A frame received whole is decoded where it lies; one still arriving
    // is gathered in the frame buffer.
    const uint8_t* frame = reader_.Take(h.length);
    if (!frame) {
      if (!Receive(obj_.pFrameBuffer.get(), h.length)) return false;
      frame = obj_.pFrameBuffer.get();
    }
    obj_.dwFramesReceived.fetch_add(1, std::memory_order_relaxed);
    obj_.dwChannelFrames[h.channel].fetch_add(1, std::memory_order_relaxed);
    if (VideoSink* video = obj_.video) {
      if (!video->Decode(h.channel, frame, h.length, h.param0)) video->ClearView();
      video->PlaceChannel(h.channel);
      // A frame of a channel the view does not show changes nothing on
      // screen: it brings a redraw only when none came for 100 ms, as a
      // quiet interval would (the shown channel may be the one that stalled).
      if (OnScreen(h.channel) || now_ - lastRedraw_ >= std::chrono::milliseconds(kQuietMs)) {
        lastRedraw_ = now_;
        video->Redraw();
      }
    }
    if (fitSingle_ && h.channel == 0) {
      fitSingle_ = false;
      const ViewStep step = FitToFirstPicture(ReadView(obj_));
      if (step.applies) ShowView(step);
    }
    return true;
  }

  // Whether the view now shown draws `channel`'s pictures; a view that
  // shows no channel is redrawn as before.
  bool OnScreen(uint8_t channel) const {
    const View v = ClassifyDrawMode(obj_.dwDrawMode.load(std::memory_order_relaxed));
    switch (v.kind) {
      case ViewKind::kSingle:
        return channel == v.slot;
      case ViewKind::kGrid:
        return channel < v.side * v.side;
      default:
        return true;
    }
  }

  void SelectView(const MessageHeader& h) {
    ShowView(ServerSelectView(ReadView(obj_), h.param0 == 1, h.channel));
  }

  bool ServerNotice(const MessageHeader& h) {
    // One byte is kept for the terminating NUL; the rest of a longer text is
    // read and dropped.
    obj_.szServerText.fill('\0');
    const uint32_t kept = std::min<uint32_t>(h.length, kServerTextSize - 1);
    if (!Receive(obj_.szServerText.data(), kept) || !Discard(h.length - kept)) return false;
    ReportNotice(obj_);
    if (obj_.ui) obj_.ui->PostServerText();
    return true;
  }

  ControlObject& obj_;
  const Event* stop_;
  MessageReader reader_;
  // The loop's clock, read once per message (Tick).
  std::chrono::steady_clock::time_point now_{};
  std::chrono::steady_clock::time_point lastTick_{};
  std::chrono::steady_clock::time_point lastRedraw_{};
  bool fitSingle_ = false;  // the first picture of channel 1 brings its single view
  bool answered_ = false;
};

}  // namespace

ConnectionThread::~ConnectionThread() {
  if (thread_.joinable()) {
    if (running_ && obj_.hStopEvent) obj_.hStopEvent->Set();
    thread_.join();
  }
}

bool ConnectionThread::Start() {
  if (thread_.joinable() || !obj_.hConnectEvent || !obj_.hStopEvent || !obj_.hIoEvent) {
    return false;
  }
  obj_.dwThreadId = NextThreadId();
  running_ = true;
  thread_ = std::thread([this] {
    Run();
    running_ = false;
  });
  return true;
}

void ConnectionThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void ConnectionThread::Run() {
  ControlObject& obj = obj_;
  const Event* stop = obj.hStopEvent.get();
  const Event* connect = obj.hConnectEvent.get();
  auto closeSocket = [&obj] {
    std::lock_guard lock(obj.socketLock);
    obj.socket.Close();
    obj.bConnected = 0;
  };

  auto setState = [&obj](SessionState state) { obj.dwSessionState = static_cast<uint32_t>(state); };
  for (;;) {
    {
      std::lock_guard lock(obj.socketLock);
      CreateStreamSocket(obj.socket, SOCK_STREAM);
    }
    setState(SessionState::kIdle);
    // Idle: wait for a connect request, redrawing every quiet 100 ms.
    int woke;
    while ((woke = WaitAny({stop, connect}, kQuietMs)) != 0 && woke != 1) {
      if (woke == kWaitTimeout) {
        obj.bLayoutDirty = 1;
        if (obj.video) obj.video->Redraw();
      }
    }
    if (woke == 0) break;

    // A local copy, always terminated, that the host's later calls cannot
    // change under the connect.
    char host[sizeof obj.szHostName + 1] = {};
    uint16_t port = 0;
    {
      std::lock_guard lock(obj.settingsLock);
      std::memcpy(host, obj.szHostName, sizeof obj.szHostName);
      port = obj.wHostPort;
    }
    setState(SessionState::kConnecting);
    int error = 0;
    if (!obj.socket.Connect(host, port, stop, kInfinite, &error)) {
      if (stop->IsSet()) break;
      ReportSessionError(obj, ConnectErrorFromErrno(error));
      LogSessionError(host, port, ConnectErrorFromErrno(error), error);
      // No automatic retry: a fresh socket waits for the next request.
      closeSocket();
      obj.hConnectEvent->Reset();
      obj.dwThreadId = NextThreadId();
      continue;
    }
    obj.bConnected = 1;
    setState(SessionState::kSession);
    Session session(obj);
    session.Run();
    if (!stop->IsSet()) {
      // A close the recorder made reads as end of stream; anything else
      // (a reset, a failed receive) broke the session off. A recorder that
      // does not take the login closes without a word in reply.
      SessionError ended = SessionError::kLost;
      if (obj.socket.PeerClosed()) {
        ended = session.Answered() ? SessionError::kClosedByServer : SessionError::kLoginRefused;
      }
      ReportSessionError(obj, ended);
      LogSessionError(host, port, static_cast<SessionError>(obj.dwLastError.load()));
    }
    break;
  }
  closeSocket();
  setState(SessionState::kEnded);
}

}  // namespace zarvion
