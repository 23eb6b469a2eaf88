// The texts in composed pictures, compared with reference renderings of the
// texts they must read: grid captions by signal and channel number, the
// single-view caption with its rates, and the decoder's notices as they
// reach the screen. Counting pixels of a colour would not tell "CH 5" from
// "CH 6", nor "无信号" from "帧缓冲".
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "video/captions.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"

namespace zarvion {
namespace {

class FixedPresenter : public Presenter {
 public:
  Rect WindowRect() const override { return Rect{0, 0, 804, 624}; }  // view 804 x 604
  Point CursorPos() const override { return Point{-1000, -1000}; }
  void Present(const Rect&, const Rect&) override {}
};

uint32_t Pixel(const Surface& s, int x, int y) {
  uint32_t v;
  std::memcpy(&v, s.Lock() + static_cast<size_t>(y) * s.Stride() + x * 4, 4);
  return v & 0x00FFFFFF;
}

// Pixels of `area` of `got` that differ from `expected` drawn at `area`'s
// top-left corner.
int Differing(const Surface& got, const Rect& area, const Surface& expected) {
  int n = 0;
  for (int y = 0; y < area.Height(); ++y) {
    for (int x = 0; x < area.Width(); ++x) {
      n += Pixel(got, area.left + x, area.top + y) != Pixel(expected, x, y);
    }
  }
  return n;
}

class ComposedTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(renderer_.Create(1024, 768));
    renderer_.SetCaptionFont(&small_);
    renderer_.SetPresenter(&presenter_);
    for (int s = 0; s < kDecoderSlots; ++s) {
      decoders_[s] = std::make_unique<CChannelDecoder>();
      decoders_[s]->nChannel = s;
      decoders_[s]->hFont = &large_;
      renderer_.BindDecoder(s, decoders_[s].get());
      ASSERT_TRUE(decoders_[s]->Create(352, 288));
    }
  }
  static uint32_t Colour(int slot) { return 0x00203040u + 0x00081008u * slot; }

  // A caption as it must look: `text` on the pane's plain colour.
  std::unique_ptr<Surface> Caption(const std::string& text, uint32_t background, uint32_t colorref,
                                   int width) {
    auto s = std::make_unique<Surface>();
    EXPECT_TRUE(s->Create(width, kCaptionRows));
    s->Fill(background);
    EXPECT_TRUE(s->DrawText(&small_, text, 0, 0, colorref));
    return s;
  }
  // A notice as it must look on a decoder's picture.
  std::unique_ptr<Surface> Notice(const char* text, uint32_t background) {
    auto s = std::make_unique<Surface>();
    EXPECT_TRUE(s->Create(352, 288));
    s->Fill(background);
    EXPECT_TRUE(s->DrawText(&large_, text, 100, 100, Rgb(0, 200, 0)));
    return s;
  }

  static constexpr int kCaptionRows = 16;
  Font small_{kFontSmallHeight};
  Font large_{kFontLargeHeight};
  std::atomic<uint32_t> drawMode_{0x00100000};
  std::atomic<uint32_t> layoutDirty_{1};
  std::atomic<uint32_t> snapshot_{0};
  Renderer renderer_{ViewWords{drawMode_, layoutDirty_, snapshot_}};
  FixedPresenter presenter_;
  std::array<std::unique_ptr<CChannelDecoder>, kDecoderSlots> decoders_;
};

TEST_F(ComposedTextTest, GridCaptionsNameTheChannelAndItsSignal) {
  renderer_.Redraw();  // the first composition clears the new layout
  for (int s = 0; s < kDecoderSlots; ++s) {
    decoders_[s]->Fill(Colour(s));
    decoders_[s]->bSignal = s % 3 == 1 ? 1 : 0;
    renderer_.PlaceChannel(s);
  }
  renderer_.Redraw();
  const Surface& back = *renderer_.BackSurface();
  for (int s = 0; s < kDecoderSlots; ++s) {
    const Rect pane = PaneRect(4, s / 4, s % 4, 804, 604);
    const std::string number = std::to_string(s + 1);
    const std::string expected = s % 3 == 1 ? "CH " + number : "CH " + number + " 无信号";
    const int width = pane.Width() - 8;
    const Rect area{pane.left + 4, pane.top + 4, pane.left + 4 + width,
                    pane.top + 4 + kCaptionRows};
    EXPECT_EQ(Differing(back, area, *Caption(expected, Colour(s), Rgb(1, 1, 1), width)), 0)
        << "pane " << s << " should read " << expected;
  }
}

TEST_F(ComposedTextTest, SingleViewCaptionGivesChannelFramesThenBytes) {
  decoders_[5]->Fill(Colour(5));
  decoders_[5]->bSignal = 1;
  decoders_[5]->nFps = 7;
  decoders_[5]->nBps = 1234;
  drawMode_ = 5;
  renderer_.Redraw();
  const Rect area{4, 4, 4 + 300, 4 + kCaptionRows};
  EXPECT_EQ(Differing(*renderer_.BackSurface(), area,
                      *Caption("CH 6 07fps 01234Bps", Colour(5), Rgb(251, 251, 251), 300)),
            0);

  // Longer numbers are printed in full; the playback view is slot 0, CH 1.
  decoders_[0]->Fill(Colour(0));
  decoders_[0]->nFps = 25;
  decoders_[0]->nBps = 123456;
  drawMode_ = kDrawPlayback;
  renderer_.Redraw();
  EXPECT_EQ(Differing(*renderer_.BackSurface(), area,
                      *Caption("CH 1 25fps 123456Bps", Colour(0), Rgb(251, 251, 251), 300)),
            0);
}

TEST_F(ComposedTextTest, NoticesReadNoSignalThenBufferingAndReachTheView) {
  // A decoder that never got a frame: blue, "无信号".
  CChannelDecoder& d = *decoders_[2];
  const auto noSignal = Notice("无信号", 0x000000C8);
  EXPECT_EQ(Differing(*d.pSurface, Rect{0, 0, 352, 288}, *noSignal), 0);

  // Shown alone, the notice is stretched over the view with the picture.
  drawMode_ = 2;
  renderer_.Redraw();
  Surface expected;
  ASSERT_TRUE(expected.Create(804, 604));
  ASSERT_TRUE(expected.StretchFrom(Rect{0, 0, 804, 604}, *noSignal, Rect{0, 0, 352, 288}));
  ASSERT_TRUE(expected.DrawText(&small_, "CH 3 00fps 00000Bps", 4, 4, Rgb(251, 251, 251)));
  EXPECT_EQ(Differing(*renderer_.BackSurface(), Rect{0, 0, 804, 604}, expected), 0);

  // A frame withheld while waiting for a key frame: red, "帧缓冲".
  d.bWaitKeyFrame = 1;
  const uint8_t notKey[16] = {1, 2, 3};
  EXPECT_TRUE(d.Decode(notKey, sizeof notKey, 0));
  EXPECT_EQ(Differing(*d.pSurface, Rect{0, 0, 352, 288}, *Notice("帧缓冲", 0x00960000)), 0);
}

}  // namespace
}  // namespace zarvion
