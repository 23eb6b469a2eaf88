// Allocations on the frame path: a real decoder, the renderer and the
// control window (offscreen), frames decoded on a thread of their own as
// the connection thread decodes them, placed, composed and painted. Every
// allocation in this process goes through the counters below.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "mp43_test_frames.h"
#include "net/control_object.h"
#include "platform/avi_file.h"
#include "platform/mp43_decompressor.h"
#include "platform/surface.h"
#include "ui_test_util.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"
#include "view/draw_mode.h"
#include "window/control_window.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZARVION_COUNTING_ALLOCATOR 1
#endif

#ifdef ZARVION_COUNTING_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
thread_local bool decodeThread = false;
std::atomic<long> decodeAllocations{0};

inline void Count() {
  if (!counting.load(std::memory_order_relaxed)) return;
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (decodeThread) decodeAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  Count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  Count();
  return __libc_realloc(p, n);
}
void* memalign(size_t alignment, size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  Count();
  void* p = __libc_memalign(alignment, n);
  if (!p && n) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) {
  __libc_free(p);
}
}

void* operator new(size_t n) {
  if (void* p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return malloc(n ? n : 1);
}
void* operator new(size_t n, std::align_val_t a) {
  void* p = nullptr;
  if (posix_memalign(&p, std::max(sizeof(void*), static_cast<size_t>(a)), n ? n : 1) != 0) {
    throw std::bad_alloc();
  }
  return p;
}
void* operator new[](size_t n, std::align_val_t a) {
  return operator new(n, a);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  free(p);
}
#endif

namespace zarvion {
namespace {

using testing::Pump;
using testing::WaitUntil;

struct ShownTrace : FrameTrace {
  void Received(int, const uint8_t*, uint32_t, uint16_t) override {}
  void Composed() override {}
  void Taken() override {}
  void Shown() override { ++shown; }
  std::atomic<int> shown{0};
};

// One thread that decodes, places and composes a frame when asked, as the
// connection thread does, so no thread is made while counting.
class DecodeThread {
 public:
  explicit DecodeThread(ControlWindow& window) : window_(window), thread_([this] { Run(); }) {}
  ~DecodeThread() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void Send(int slot, const std::vector<uint8_t>* bytes, bool key) {
    std::lock_guard<std::mutex> hold(lock_);
    slot_ = slot;
    bytes_ = bytes;
    key_ = key;
    wake_.notify_one();
  }

 private:
  void Run() {
#ifdef ZARVION_COUNTING_ALLOCATOR
    decodeThread = true;
#endif
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return stop_ || bytes_; });
      if (stop_) return;
      const std::vector<uint8_t>* bytes = std::exchange(bytes_, nullptr);
      CChannelDecoder* d = window_.Decoder(slot_);
      EXPECT_TRUE(d->Decode(bytes->data(), static_cast<uint32_t>(bytes->size()),
                            key_ ? kAviIfKeyFrame : 0));
      window_.GetRenderer()->PlaceChannel(slot_);
      window_.GetRenderer()->Redraw();
    }
  }

  ControlWindow& window_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  int slot_ = 0;
  const std::vector<uint8_t>* bytes_ = nullptr;
  bool key_ = false;
  std::thread thread_;
};

// What the window does with a decoded picture (share it, hand it on,
// convert and stretch it, let it go) allocates nothing once warm, though
// the pictures shared are still held while later frames are decoded.
TEST(FrameAllocations, SharedPicturesAreTakenConvertedAndStretchedWithoutAllocating) {
#ifndef ZARVION_COUNTING_ALLOCATOR
  GTEST_SKIP() << "the sanitizer owns the allocator";
#else
  const std::vector<testing::EncodedFrame> frames = testing::EncodeTestFrames(40, 10);
  auto d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
  ASSERT_NE(d, nullptr);
  BitmapInfoHeader in = MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0), out;
  ASSERT_EQ(d->GetFormat(in, &out), kIcErrOk);
  out.biHeight = -out.biHeight;
  ASSERT_EQ(d->Begin(in, out), kIcErrOk);
  Surface screen, surface;
  ASSERT_TRUE(screen.Create(1000, 700) && surface.Create(352, 288));
  PictureConverter converter;
  SharedPicture placed, shown;
  long counted = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    in.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
    ASSERT_EQ(d->DecodeOnly(frames[i].Flags(), in, frames[i].bytes.data(), out), kIcErrOk);
    allocations = 0;
    counting = i >= 10;
    ASSERT_TRUE(d->ShareHeld(&placed));
    std::swap(placed, shown);
    placed.Reset();
    ASSERT_TRUE(converter.Stretch(shown, Rect{0, 0, 352, 288}, screen.View(), Rect{3, 5, 990, 690},
                                  Rect{0, 0, 1000, 700}));
    ASSERT_EQ(d->ConvertHeld(out, surface.Lock()), kIcErrOk);
    counting = false;
    counted += allocations;
  }
  EXPECT_EQ(counted, 0);
#endif
}

// Frames decoded into the 4 x 4 grid and shown: once warm, what is allocated
// per frame is the codec's own, and what the event loop and the painter
// take for a present.
TEST(FrameAllocations, AWarmGridAllocatesLittlePerFrame) {
#ifndef ZARVION_COUNTING_ALLOCATOR
  GTEST_SKIP() << "the sanitizer owns the allocator";
#else
  ControlObject obj;
  ControlWindowOptions options;
  options.startConnectionThread = false;
  auto window = std::make_unique<ControlWindow>(obj, nullptr, options);
  window->resize(1300, 1000);
  window->show();
  Pump(20);
  ShownTrace trace;
  window->SetFrameTrace(&trace);

  dvrsim::Mp43Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(25, 25, 400000, &error)) << error;
  constexpr int kFrames = 13;
  std::vector<dvrsim::EncodedFrame> frames(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
    dvrsim::DrawLivePicture(&canvas, 0, i);
    ASSERT_TRUE(encoder.Encode(canvas, i == 0, &frames[static_cast<size_t>(i)]));
  }
  obj.bConnected = 1;
  obj.dwDrawMode = kDrawGrid16;
  obj.bLayoutDirty = 1;
  DecodeThread decoder(*window);
  constexpr int kSlots = 16;
  int n = 0;
  auto next = [&] {
    const int slot = n % kSlots;
    const int i = (n / kSlots) % kFrames;
    const int before = trace.shown;
    decoder.Send(slot, &frames[static_cast<size_t>(i)].bytes, i == 0);
    ++n;
    return WaitUntil([&] { return trace.shown > before; }, 5000);
  };
  for (int i = 0; i < kSlots * kFrames; ++i) ASSERT_TRUE(next()) << i;

  constexpr int kCounted = 200;
  allocations = 0;
  decodeAllocations = 0;
  counting = true;
  for (int i = 0; i < kCounted; ++i) ASSERT_TRUE(next());
  counting = false;
  const double perFrame = static_cast<double>(allocations) / kCounted;
  const double decodePerFrame = static_cast<double>(decodeAllocations) / kCounted;
  RecordProperty("allocations_per_frame", std::to_string(perFrame));
  RecordProperty("decode_thread_allocations_per_frame", std::to_string(decodePerFrame));
  std::printf("allocations per frame: %.2f (decode thread %.2f)\n", perFrame, decodePerFrame);
  // Most of them are the codec's (the references of its pictures and
  // tables, a few dozen per frame); a buffer per row, pane or paint of our
  // own would take this far past.
  EXPECT_LT(perFrame, 100);
  obj.bConnected = 0;
  window->SetFrameTrace(nullptr);
#endif
}

}  // namespace
}  // namespace zarvion
