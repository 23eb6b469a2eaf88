// A whole client session against bytes that play the server: the real
// connection thread reads them from a loopback socket and dispatches them
// to 16 real decoders (two of them recording), the real renderer (taking a
// snapshot) and a window stand-in that does nothing. Used by the session
// fuzz target and by the hostile-session test, whose generator is here too.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mp43_test_frames.h"
#include "net/connection_thread.h"
#include "net/control_object.h"
#include "net/protocol.h"
#include "net_test_util.h"
#include "video/captions.h"
#include "video/renderer.h"

namespace zarvion::fuzz {

class QuietUi : public ControlUi {
 public:
  void SessionStarted(uint32_t, uint32_t) override {}
  void PlaybackStarted(uint32_t) override {}
  void PlaybackPosition(uint32_t) override {}
  void PlaybackRow(const std::string&, const std::string&, const std::string&) override {}
  void PostServerText() override { ++posts; }
  void ViewChanged(uint32_t) override {}
  std::atomic<int> posts{0};
};

class FixedPresenter : public Presenter {
 public:
  Rect WindowRect() const override { return Rect{0, 0, 640, 500}; }
  Point CursorPos() const override { return Point{100, 100}; }
  void Present(const Rect&, const Rect&) override {}
};

class Session : public VideoSink {
 public:
  Session() {
    EnsureEvents(obj);
    obj.pFrameBuffer = std::make_unique<uint8_t[]>(kFrameBufferSize);
    obj.ui = &ui;
    obj.video = this;
    if (!renderer.Create(640, 500)) std::abort();
    renderer.SetCaptionFont(&small);
    renderer.SetPresenter(&presenter);
    renderer.SetSnapshotFolder([this] { return folder.Path(); });
    for (int slot = 0; slot < kDecoderSlots; ++slot) {
      auto d = std::make_unique<CChannelDecoder>();
      d->nChannel = slot;
      d->hFont = &large;
      d->recordFolder = [this] { return folder.Path(); };
      renderer.BindDecoder(slot, d.get());
      d->Create(352, 288);
      d->bWaitKeyFrame = 1;
      decoders[slot] = std::move(d);
    }
    // Two recordings under way, so that hostile input also meets the writer.
    if (!decoders[0]->StartRecording() || !decoders[5]->StartRecording()) std::abort();
    obj.dwDrawMode = 0;  // single view of slot 0, where the snapshot is taken
    obj.bSnapshot = 1;
  }
  ~Session() override {
    obj.hStopEvent->Set();
    for (auto& d : decoders) d->StopRecording();
  }

  // One session: connect, the server's side is `data`, then the server
  // closes. Returns once the connection thread has ended.
  void Run(const uint8_t* data, size_t size) {
    std::strncpy(obj.szHostName, "127.0.0.1", sizeof obj.szHostName - 1);
    obj.wHostPort = listener.Port();
    ConnectionThread thread(obj);
    if (!thread.Start()) return;
    obj.hConnectEvent->Set();
    const int peer = listener.Accept();
    if (peer < 0) return;
    // Whatever the client sends is read and dropped, so it never stalls on
    // a full socket.
    std::thread drain([peer] {
      char buf[4096];
      while (::recv(peer, buf, sizeof buf, 0) > 0) {
      }
    });
    testing::WriteFully(peer, data, size);
    ::shutdown(peer, SHUT_WR);
    thread.Join();
    ::shutdown(peer, SHUT_RDWR);
    drain.join();
    ::close(peer);
  }

  bool Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) override {
    ++decoded;
    return decoders[slot]->Decode(data, size, flags);
  }
  void ClearView() override { renderer.ClearView(); }
  void PlaceChannel(int slot) override { renderer.PlaceChannel(slot); }
  void Redraw() override { renderer.Redraw(); }

  testing::TempDir folder;
  ControlObject obj;
  QuietUi ui;
  FixedPresenter presenter;
  Font small{kFontSmallHeight};
  Font large{kFontLargeHeight};
  Renderer renderer{ViewWords{obj.dwDrawMode, obj.bLayoutDirty, obj.bSnapshot}};
  std::array<std::unique_ptr<CChannelDecoder>, kDecoderSlots> decoders;
  testing::Listener listener;
  std::atomic<int> decoded{0};
};

inline void Append(std::vector<uint8_t>& out, const MessageHeader& h, const void* payload = nullptr,
                   size_t size = 0) {
  const auto b = h.Encode();
  out.insert(out.end(), b.begin(), b.end());
  const auto* p = static_cast<const uint8_t*>(payload);
  if (size) out.insert(out.end(), p, p + size);
}

// The server's side of one random hostile session: a session start, then
// messages of every kind with hostile fields, real and broken frames,
// notice floods, and at times a torn last message. `frames` are real MP43
// frames to mix in (may be empty).
inline std::vector<uint8_t> HostileSession(uint32_t seed,
                                           const std::vector<testing::EncodedFrame>& frames) {
  std::mt19937 random(seed);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  std::vector<uint8_t> out;
  Append(out, ComposeSessionInfo(static_cast<uint8_t>(pick(20)), static_cast<uint16_t>(pick(4))));
  if (pick(2)) {
    const uint32_t records = pick(24);
    std::vector<uint8_t> table(records * kVideoParamRecordSize);
    for (auto& b : table) b = static_cast<uint8_t>(random());
    Append(out, ComposeVideoParamTable(records), table.data(), table.size());
  }
  const uint8_t codes[] = {kSessionInfo,
                           kFileList,
                           kPlayFileRequest,
                           kPlaybackInfo,
                           kVideoFrame,
                           kSelectView,
                           kPlaybackStep,
                           kVideoParamTable,
                           kServerNotice,
                           0,
                           200,
                           255};
  const uint32_t frameLengths[] = {0, 1, 7, 4000, kFrameBufferSize, kFrameBufferSize + 1, 600000};
  const int messages = 20 + static_cast<int>(pick(120));
  std::vector<uint8_t> payload;
  for (int i = 0; i < messages; ++i) {
    MessageHeader h;
    // Mostly frames, as in a real session.
    h.code = pick(2) ? uint8_t{kVideoFrame} : codes[pick(std::size(codes))];
    h.channel = static_cast<uint8_t>(pick(4) ? pick(17) : pick(256));
    h.param0 = static_cast<uint16_t>(random());
    h.param1 = static_cast<uint16_t>(random());
    h.param2 = static_cast<uint16_t>(random());
    h.param3 = static_cast<uint16_t>(random());
    h.param4 = static_cast<uint16_t>(random());
    const testing::EncodedFrame* real = nullptr;
    switch (h.code) {
      case kVideoFrame:
        if (!frames.empty() && pick(3)) {
          real = &frames[pick(static_cast<uint32_t>(frames.size()))];
          h.param0 = real->Flags();
          h.length = static_cast<uint32_t>(real->bytes.size());
        } else {
          h.length = frameLengths[pick(std::size(frameLengths))];
        }
        break;
      case kServerNotice:
        h.length = pick(4) ? pick(64) : pick(3000);
        break;
      case kVideoParamTable:
        h.length = pick(0x200);
        break;
      case kFileList:
        h.length = pick(4);
        break;
      case kSelectView:
        h.param0 = static_cast<uint16_t>(pick(3));
        h.param1 = static_cast<uint16_t>(pick(4) ? pick(17) : random());
        break;
      default:
        // Unhandled codes carry nothing the client reads (a payload would
        // put the stream out of step; that comes at the end, below).
        h.length = 0;
    }
    // Mostly honest checksums; a bad one now and then.
    h.Seal();
    if (pick(16) == 0) h.checksum = static_cast<uint32_t>(random());
    size_t bytes = h.length;
    if (h.code == kVideoParamTable) bytes = (h.length & 0xFF) * kVideoParamRecordSize;
    if (h.code == kFileList) bytes = h.length * kFileRecordSize;
    if (real) {
      payload = real->bytes;
    } else {
      payload.resize(bytes);
      for (auto& b : payload) b = static_cast<uint8_t>(random());
    }
    Append(out, h, payload.data(), payload.size());
    // A flood: the same notice many times over.
    if (h.code == kServerNotice && pick(10) == 0) {
      for (int n = 0; n < 200; ++n) Append(out, h, payload.data(), payload.size());
    }
  }
  // Sometimes the stream ends out of step (an unhandled code with bytes the
  // client takes for headers), or the connection breaks inside a message.
  if (pick(4) == 0) {
    MessageHeader h = ComposeHeader(200);
    h.length = pick(64);
    h.Seal();
    payload.resize(h.length + pick(400));
    for (auto& b : payload) b = static_cast<uint8_t>(random());
    Append(out, h, payload.data(), payload.size());
  }
  if (pick(3) == 0 && out.size() > 40) out.resize(out.size() - pick(30));
  return out;
}

}  // namespace zarvion::fuzz
