// The media stand-ins on their own: pixel surface, MP43 decompressor and
// AVI writer, with ffmpeg/ffprobe as the independent readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <QFontMetrics>
#include <QPainter>

#include <random>

extern "C" {
#include <libavutil/log.h>
}

#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "platform/mp43_decompressor.h"
#include "platform/surface.h"
#include "platform/yuv_rows.h"

namespace zarvion {
namespace {

using testing::EncodedFrame;
using testing::EncodeTestFrames;
using testing::RunCommand;
using testing::TempDir;

uint32_t PixelAt(const Surface& s, int x, int y) {
  uint32_t v;
  std::memcpy(&v, s.Lock() + static_cast<size_t>(y) * s.Stride() + x * 4, 4);
  return v;
}

TEST(SurfaceTest, CreateRejectsUnusableSizesAndKeepsStrideExact) {
  Surface s;
  EXPECT_FALSE(s.Create(0, 10));
  EXPECT_FALSE(s.Create(10, -1));
  EXPECT_FALSE(s.Create(1 << 20, 1 << 20));
  EXPECT_FALSE(s.Valid());
  ASSERT_TRUE(s.Create(353, 7));
  EXPECT_EQ(s.Stride(), 353 * 4);
  EXPECT_EQ(s.Image().bytesPerLine(), 353 * 4);
  EXPECT_EQ(s.Image().constBits(), s.Lock());
  EXPECT_EQ(PixelAt(s, 352, 6), 0u);
}

TEST(SurfaceTest, FillAndStretchStayInsideTheirRectangles) {
  Surface src, dst;
  ASSERT_TRUE(src.Create(4, 2));
  ASSERT_TRUE(dst.Create(10, 6));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) src.Fill(Rect{x, y, x + 1, y + 1}, 0x00010000u * (y + 1) + x);
  }

  // Clipped fill.
  dst.Fill(Rect{-5, -5, 2, 2}, 0x00ABCDEF);
  EXPECT_EQ(PixelAt(dst, 1, 1), 0x00ABCDEFu);
  EXPECT_EQ(PixelAt(dst, 2, 1), 0u);

  // Exact 2x enlargement: every source pixel becomes a 2 x 2 block.
  ASSERT_TRUE(dst.StretchFrom(Rect{2, 2, 10, 6}, src, src.Bounds()));
  for (int y = 2; y < 6; ++y) {
    for (int x = 2; x < 10; ++x) {
      EXPECT_EQ(PixelAt(dst, x, y), PixelAt(src, (x - 2) / 2, (y - 2) / 2)) << x << "," << y;
    }
  }
  EXPECT_EQ(PixelAt(dst, 1, 2), 0u);

  // A destination partly off the surface keeps its scale; the visible part
  // shows the matching source pixels.
  Surface small;
  ASSERT_TRUE(small.Create(3, 3));
  ASSERT_TRUE(small.StretchFrom(Rect{-4, -2, 4, 2}, src, src.Bounds()));
  EXPECT_EQ(PixelAt(small, 0, 0), PixelAt(src, 2, 1));
  EXPECT_EQ(PixelAt(small, 2, 1), PixelAt(src, 3, 1));
  EXPECT_EQ(PixelAt(small, 0, 2), 0u);

  EXPECT_FALSE(dst.StretchFrom(Rect{0, 0, 4, 4}, src, Rect{0, 0, 5, 2}));
  EXPECT_FALSE(dst.StretchFrom(Rect{0, 0, 0, 4}, src, src.Bounds()));
  EXPECT_FALSE(dst.StretchFrom(Rect{0, 0, 4, 4}, dst, Rect{0, 0, 1, 1}));
}

// Every pixel of a stretch, clipped or not, is the source pixel under its
// centre: source = (2 d + 1) s / (2 D), for enlargements and reductions of
// every proportion (the row-at-a-time paths included).
TEST(SurfaceTest, StretchTakesThePixelUnderEachCentre) {
  Surface src;
  ASSERT_TRUE(src.Create(352, 288));
  for (int y = 0; y < 288; ++y) {
    for (int x = 0; x < 352; ++x) src.Fill(Rect{x, y, x + 1, y + 1}, (y << 12) | x);
  }
  struct Case {
    Rect dst, srcRect, clip;
  };
  const Case cases[] = {
      {{0, 0, 1920, 1060}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{0, 0, 480, 265}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{2, 2, 355, 290}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{0, 0, 351, 300}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{0, 0, 200, 150}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{5, 7, 1000, 907}, {13, 9, 340, 280}, {0, 0, 1920, 1060}},
      {{-40, -30, 900, 700}, {0, 0, 352, 288}, {0, 0, 1920, 1060}},
      {{0, 0, 1920, 1060}, {0, 0, 352, 288}, {17, 33, 1203, 611}},
      {{0, 0, 1917, 1061}, {344, 0, 352, 288}, {0, 0, 1920, 1060}},
  };
  for (const Case& c : cases) {
    for (const bool stream : {false, true}) {
      Surface dst;
      ASSERT_TRUE(dst.Create(1920, 1060));
      dst.Fill(0x00ABCDEF);
      PixelView view = dst.View();
      ASSERT_TRUE(StretchPixels(view, c.dst, c.clip, src.View(), c.srcRect, 0, stream));
      int wrong = 0;
      for (int y = 0; y < 1060 && wrong < 5; ++y) {
        for (int x = 0; x < 1920 && wrong < 5; ++x) {
          const bool inside =
              x >= std::max(c.dst.left, c.clip.left) && x < std::min(c.dst.right, c.clip.right) &&
              y >= std::max(c.dst.top, c.clip.top) && y < std::min(c.dst.bottom, c.clip.bottom);
          uint32_t expected = 0x00ABCDEF;
          if (inside) {
            const int64_t sx = c.srcRect.left + (2 * int64_t{x - c.dst.left} + 1) *
                                                    c.srcRect.Width() / (2 * c.dst.Width());
            const int64_t sy = c.srcRect.top + (2 * int64_t{y - c.dst.top} + 1) *
                                                   c.srcRect.Height() / (2 * c.dst.Height());
            expected = static_cast<uint32_t>((sy << 12) | sx);
          }
          if (PixelAt(dst, x, y) != expected) {
            ++wrong;
            ADD_FAILURE() << "dst " << c.dst.left << "," << c.dst.top << " " << c.dst.right << ","
                          << c.dst.bottom << (stream ? " streamed" : "") << " at " << x << "," << y
                          << ": " << std::hex << PixelAt(dst, x, y) << " not " << expected;
          }
        }
      }
    }
  }
}

TEST(SurfaceTest, TextLandsBelowAndRightOfItsOriginInItsColour) {
  Font font(36);
  Surface s;
  ASSERT_TRUE(s.Create(352, 288));
  s.Fill(0x000000C8);
  ASSERT_TRUE(s.DrawText(&font, "帧缓冲", 100, 100, Rgb(0, 200, 0)));
  int exact = 0, changed = 0;
  for (int y = 0; y < 288; ++y) {
    for (int x = 0; x < 352; ++x) {
      const uint32_t p = PixelAt(s, x, y) & 0x00FFFFFF;
      if (p == 0x0000C8) continue;
      ++changed;
      EXPECT_GE(x, 100);
      EXPECT_GE(y, 100);
      EXPECT_LT(y, 100 + 48);
      if (p == 0x00C800) ++exact;
    }
  }
  EXPECT_GT(changed, 200);
  EXPECT_GT(exact, 20);
  // Off-surface text is clipped, not an error.
  EXPECT_TRUE(s.DrawText(&font, "无信号", 340, 280, Rgb(0, 200, 0)));
}

TEST(SurfaceTest, FontHeightsAreCellHeights) {
  for (int cell : {12, 36}) {
    const Font font(cell);
    const QFontMetrics metrics(font.Get());
    EXPECT_LE(metrics.height(), cell) << cell;
    // The largest face that fits: one size up would not.
    QFont larger = font.Get();
    larger.setPixelSize(font.Get().pixelSize() + 1);
    EXPECT_GT(QFontMetrics(larger).height(), cell) << cell;
    EXPECT_EQ(font.PixelHeight(), cell);
  }
}

TEST(SurfaceTest, RedrawnTextMatchesQPainterPixelForPixel) {
  Font small(12);
  Surface s;
  ASSERT_TRUE(s.Create(200, 40));
  s.Fill(0x00336699);
  QImage expected = s.Image().copy();
  const char* texts[] = {"CH 12 无信号", "CH 3 07fps 01234Bps", "gjpqy|"};
  const Point at[] = {{4, 4}, {-7, 20}, {150, -3}};
  for (int round = 0; round < 2; ++round) {  // the second round comes from the cache
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(s.DrawText(&small, texts[i], at[i].x, at[i].y, Rgb(1, 255, 255)));
    }
  }
  {
    QPainter painter(&expected);
    painter.setFont(small.Get());
    painter.setPen(QColor(1, 255, 255));
    for (int i = 0; i < 3; ++i) {
      painter.drawText(at[i].x, at[i].y + painter.fontMetrics().ascent(),
                       QString::fromUtf8(texts[i]));
    }
  }
  int differing = 0, drawn = 0;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 200; ++x) {
      const uint32_t got = PixelAt(s, x, y) & 0x00FFFFFF;
      differing += got != (expected.pixel(x, y) & 0x00FFFFFF);
      drawn += got == 0x01FFFF;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_GT(drawn, 100);
}

class Mp43Test : public ::testing::Test {
 protected:
  static BitmapInfoHeader Input() { return MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0); }
};

TEST_F(Mp43Test, OpensOnlyForMp43AndOffersBothBitCounts) {
  EXPECT_EQ(Mp43Decompressor::Open(kFourCCVidc, MakeFourCC('X', 'V', 'I', 'D')), nullptr);
  EXPECT_EQ(Mp43Decompressor::Open(MakeFourCC('a', 'u', 'd', 'c'), kFourCCMp43), nullptr);
  EXPECT_NE(Mp43Decompressor::Open(kFourCCVidc, MakeFourCC('m', 'p', '4', '3')), nullptr);
  auto d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
  ASSERT_NE(d, nullptr);
  BitmapInfoHeader out;
  ASSERT_EQ(d->GetFormat(Input(), &out), kIcErrOk);
  EXPECT_EQ(out.biBitCount, 32);
  EXPECT_EQ(out.biHeight, 288);  // bottom-up
  EXPECT_EQ(out.biSizeImage, 352u * 288 * 4);
  d->SetPreferredBitCount(24);
  ASSERT_EQ(d->GetFormat(Input(), &out), kIcErrOk);
  EXPECT_EQ(out.biBitCount, 24);
  EXPECT_EQ(out.biSizeImage, 352u * 288 * 3);

  BitmapInfoHeader bad = Input();
  bad.biCompression = MakeFourCC('D', 'I', 'V', 'X');
  EXPECT_NE(d->GetFormat(bad, &out), kIcErrOk);
  out.biBitCount = 16;
  EXPECT_NE(d->Query(Input(), out), kIcErrOk);
}

TEST_F(Mp43Test, LibraryLogIsQuietUnlessAsked) {
  ASSERT_NE(Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43), nullptr);
  if (!std::getenv(kFfmpegLogLevelVariable)) {
    EXPECT_EQ(av_log_get_level(), AV_LOG_QUIET);
  }
  EXPECT_EQ(FfmpegLogLevel(nullptr), AV_LOG_QUIET);
  EXPECT_EQ(FfmpegLogLevel(""), AV_LOG_QUIET);
  EXPECT_EQ(FfmpegLogLevel("warning"), AV_LOG_WARNING);
  EXPECT_EQ(FfmpegLogLevel("debug"), AV_LOG_DEBUG);
  EXPECT_EQ(FfmpegLogLevel("32"), AV_LOG_INFO);
  EXPECT_EQ(FfmpegLogLevel("-8"), AV_LOG_QUIET);
  for (const char* junk : {"loud", "32x", "999", "-9"}) {
    EXPECT_EQ(FfmpegLogLevel(junk), AV_LOG_QUIET) << junk;
  }
}

TEST_F(Mp43Test, DecodesLikeFfmpegAndReportsBadFramesOneByOne) {
  const std::vector<EncodedFrame> frames = EncodeTestFrames(12, 6);
  ASSERT_EQ(frames.size(), 12u);
  TempDir dir;
  const std::string oracle = testing::FfmpegDecodeFrames(dir.Path() + "/frames.avi", frames);
  const size_t pictureBytes = 352 * 288 * 4;
  ASSERT_EQ(oracle.size(), frames.size() * pictureBytes);

  auto d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
  ASSERT_NE(d, nullptr);
  BitmapInfoHeader in = Input(), out;
  ASSERT_EQ(d->GetFormat(in, &out), kIcErrOk);
  std::vector<uint8_t> picture(pictureBytes), topDown(pictureBytes);
  EXPECT_NE(d->Decompress(0, in, frames[0].bytes.data(), out, picture.data()), kIcErrOk)
      << "decompressing before Begin";
  ASSERT_EQ(d->Begin(in, out), kIcErrOk);
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i == 3) {
      // A frame of junk fails on its own; the stream goes on.
      std::vector<uint8_t> junk(40, 0xFF);
      in.biSizeImage = 40;
      EXPECT_NE(d->Decompress(0, in, junk.data(), out, picture.data()), kIcErrOk);
      in.biSizeImage = 0;
      EXPECT_NE(d->Decompress(0, in, junk.data(), out, picture.data()), kIcErrOk);
    }
    in.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
    ASSERT_EQ(d->Decompress(frames[i].Flags(), in, frames[i].bytes.data(), out, picture.data()),
              kIcErrOk)
        << i;
    for (int r = 0; r < 288; ++r) {
      std::memcpy(&topDown[r * 352 * 4], &picture[(287 - r) * 352 * 4], 352 * 4);
    }
    const double psnr = testing::PsnrBgrx(
        topDown.data(), reinterpret_cast<const uint8_t*>(oracle.data()) + i * pictureBytes,
        352 * 288);
    // Frames after the junk may carry its damage until the next key frame.
    if (i < 3 || i >= 6) {
      EXPECT_GE(psnr, 45.0) << "frame " << i;
    }
  }

  // A format other than the one begun is refused.
  BitmapInfoHeader other = out;
  other.biBitCount = 24;
  EXPECT_EQ(d->Decompress(0, in, frames[0].bytes.data(), other, picture.data()), kIcErrBadFormat);
}

// A shared picture keeps its pixels while the decompressor goes on to later
// frames (which the codec predicts from it), converts to exactly the
// decompressor's own top-down output, and is gone when the decode failed.
TEST_F(Mp43Test, ASharedPictureOutlivesLaterFramesAndConvertsAsTheDecompressorDoes) {
  const std::vector<EncodedFrame> frames = EncodeTestFrames(8, 8);
  auto d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
  ASSERT_NE(d, nullptr);
  BitmapInfoHeader in = Input(), out;
  ASSERT_EQ(d->GetFormat(in, &out), kIcErrOk);
  out.biHeight = -out.biHeight;  // top-down, as the surfaces are
  ASSERT_EQ(d->Begin(in, out), kIcErrOk);
  const size_t bytes = 352 * 288 * 4;
  std::vector<uint8_t> own(bytes), shared(bytes), again(bytes);
  SharedPicture picture;
  EXPECT_FALSE(d->ShareHeld(&picture));
  EXPECT_TRUE(picture.Empty());
  PictureConverter converter;
  EXPECT_FALSE(converter.Convert(picture, shared.data(), 352 * 4));

  for (int i = 0; i <= 2; ++i) {
    in.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
    ASSERT_EQ(d->DecodeOnly(frames[i].Flags(), in, frames[i].bytes.data(), out), kIcErrOk);
  }
  ASSERT_EQ(d->ConvertHeld(out, own.data()), kIcErrOk);
  ASSERT_TRUE(d->ShareHeld(&picture));
  EXPECT_EQ(picture.Width(), 352);
  EXPECT_EQ(picture.Height(), 288);
  ASSERT_TRUE(converter.Convert(picture, shared.data(), 352 * 4));
  EXPECT_EQ(shared, own);
  for (size_t i = 3; i < frames.size(); ++i) {
    in.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
    ASSERT_EQ(d->DecodeOnly(frames[i].Flags(), in, frames[i].bytes.data(), out), kIcErrOk);
  }
  ASSERT_EQ(d->ConvertHeld(out, again.data()), kIcErrOk);
  EXPECT_NE(again, own);
  ASSERT_TRUE(converter.Convert(picture, shared.data(), 352 * 4));
  EXPECT_EQ(shared, own);

  // Moved on, the picture goes with the move; a failed decode holds none.
  SharedPicture moved = std::move(picture);
  EXPECT_TRUE(picture.Empty());
  EXPECT_FALSE(moved.Empty());
  std::vector<uint8_t> junk(40, 0xFF);
  in.biSizeImage = 40;
  EXPECT_NE(d->DecodeOnly(0, in, junk.data(), out), kIcErrOk);
  EXPECT_FALSE(d->ShareHeld(&moved));
  EXPECT_TRUE(moved.Empty());
}

// The vector converter and the plain one give the same bytes, for every
// value a sample can take and any start and length of a row.
TEST(YuvRowsTest, VectorAndPlainRowsAgree) {
  const int w = 67, h = 5;
  std::vector<uint8_t> y(w * h), u(34 * 3), v(34 * 3);
  std::mt19937 random(7);
  for (auto* plane : {&y, &u, &v}) {
    for (uint8_t& b : *plane) b = static_cast<uint8_t>(random());
  }
  // The extremes, where clamping happens.
  for (int i = 0; i < 16; ++i) y[i] = u[i] = v[i] = static_cast<uint8_t>(i & 1 ? 255 : 0);
  const YuvPlanes planes{y.data(), u.data(), v.data(), w, 34, 34, w, h};
  std::vector<uint32_t> plain(w), fast(w);
  for (int row = 0; row < h; ++row) {
    for (const auto& [first, count] : {std::pair{0, w}, {1, 40}, {3, 16}, {16, 17}, {50, 1}}) {
      ConvertYuvRowPlain(planes, row, first, count, plain.data());
      ConvertYuvRow(planes, row, first, count, fast.data());
      EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + count, fast.begin()))
          << row << " " << first << " " << count;
      EXPECT_EQ(plain[0] >> 24, 0xFFu);
    }
  }
}

// On real decoded pictures every channel stays within 2 of libswscale's
// conversion of the same planes, and converting and stretching in one pass
// writes exactly what converting the whole picture and stretching it does,
// for any rectangles and clips.
TEST_F(Mp43Test, OwnConversionFollowsLibswscaleAndStretchesInOnePass) {
  for (const auto& [width, height] : {std::pair{352, 288}, {168, 120}}) {
    const std::vector<EncodedFrame> frames = EncodeTestFrames(3, 3, width, height);
    auto d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
    ASSERT_NE(d, nullptr);
    BitmapInfoHeader in = MakeBitmapInfoHeader(width, height, 24, kFourCCMp43, 0), out;
    ASSERT_EQ(d->GetFormat(in, &out), kIcErrOk);
    out.biHeight = -out.biHeight;
    ASSERT_EQ(d->Begin(in, out), kIcErrOk);
    for (const EncodedFrame& f : frames) {
      in.biSizeImage = static_cast<uint32_t>(f.bytes.size());
      ASSERT_EQ(d->DecodeOnly(f.Flags(), in, f.bytes.data(), out), kIcErrOk);
    }
    SharedPicture picture;
    ASSERT_TRUE(d->ShareHeld(&picture));
    Surface whole;
    ASSERT_TRUE(whole.Create(width, height));
    PictureConverter converter;
    ASSERT_TRUE(converter.Convert(picture, whole.Lock(), whole.Stride()));

    // libswscale's conversion of the same frames: a 24-bit decompressor's.
    std::vector<uint8_t> theirs(static_cast<size_t>(width) * height * 4);
    {
      auto d24 = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
      d24->SetPreferredBitCount(24);
      BitmapInfoHeader out24;
      ASSERT_EQ(d24->GetFormat(in, &out24), kIcErrOk);
      out24.biHeight = -out24.biHeight;
      ASSERT_EQ(d24->Begin(in, out24), kIcErrOk);
      // libswscale's vector code writes up to 16 pixels past a row whose
      // width is not a multiple of 16.
      std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3 + 64);
      for (const EncodedFrame& f : frames) {
        in.biSizeImage = static_cast<uint32_t>(f.bytes.size());
        ASSERT_EQ(d24->Decompress(f.Flags(), in, f.bytes.data(), out24, bgr.data()), kIcErrOk);
      }
      for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        std::memcpy(&theirs[i * 4], &bgr[i * 3], 3);
      }
    }
    int worst = 0;
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
      for (int c = 0; c < 3; ++c) {
        worst = std::max(worst, std::abs(int{whole.Lock()[i * 4 + c]} - int{theirs[i * 4 + c]}));
      }
      ASSERT_EQ(whole.Lock()[i * 4 + 3], 0xFF) << i;
    }
    EXPECT_LE(worst, 2) << width << "x" << height;

    struct Case {
      Rect dst, src, clip;
    };
    const Case cases[] = {
        {{0, 0, 960, 530}, {0, 0, width, height}, {0, 0, 1000, 700}},
        {{3, 5, 482, 270}, {0, 0, width, height}, {0, 0, 1000, 700}},
        {{1, 1, 100, 77}, {0, 0, width, height}, {0, 0, 1000, 700}},
        {{0, 0, width + 1, height - 1}, {0, 0, width, height}, {0, 0, 1000, 700}},
        {{0, 0, width, height}, {0, 0, width, height}, {0, 0, 1000, 700}},
        {{7, 9, 999, 699}, {13, 9, width - 11, height - 7}, {41, 33, 517, 611}},
        {{-40, -30, 900, 700}, {1, 0, width, height}, {0, 0, 1000, 700}},
        {{0, 0, 997, 699}, {width - 8, 0, width, height}, {3, 0, 1000, 350}},
    };
    for (const Case& c : cases) {
      Surface expected, fused;
      ASSERT_TRUE(expected.Create(1000, 700) && fused.Create(1000, 700));
      expected.Fill(0x00123456);
      fused.Fill(0x00123456);
      ASSERT_TRUE(StretchPixels(expected.View(), c.dst, c.clip, whole.View(), c.src, 0xFF000000u));
      ASSERT_TRUE(converter.Stretch(picture, c.src, fused.View(), c.dst, c.clip));
      EXPECT_EQ(std::memcmp(expected.Lock(), fused.Lock(), size_t{1000} * 700 * 4), 0)
          << width << "x" << height << " onto " << c.dst.left << "," << c.dst.top << " "
          << c.dst.right << "," << c.dst.bottom;
    }
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

TEST(AviFileTest, FileIsReadableMidRecordingAndCompleteAfterRelease) {
  const std::vector<EncodedFrame> frames = EncodeTestFrames(15, 5);
  ASSERT_EQ(frames.size(), 15u);
  TempDir dir;
  const std::string file = dir.Path() + "/rec.avi";
  auto avi = AviFile::Open(file, kOfCreate | kOfWrite);
  ASSERT_NE(avi, nullptr);
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwScale = 1;
  info.dwRate = 10;
  info.dwSuggestedBufferSize = 405504;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi->CreateStream(info);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(avi->CreateStream(info), nullptr);
  BitmapInfoHeader format = MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0);
  for (size_t i = 0; i < frames.size(); ++i) {
    format.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
    ASSERT_TRUE(stream->SetFormat(int32_t(i), format, 40));
    ASSERT_TRUE(stream->Write(int32_t(i), 1, frames[i].bytes.data(), format.biSizeImage,
                              frames[i].Flags()));
  }
  EXPECT_FALSE(stream->Write(3, 1, frames[0].bytes.data(), 10, 0)) << "out of order";
  BitmapInfoHeader changed = format;
  changed.biWidth = 176;
  EXPECT_FALSE(stream->SetFormat(15, changed, 40));

  const std::string count =
      "ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
      "-of csv=p=0 '" +
      file + "'";
  std::string out;
  // As a crash would leave it: no index yet, but every frame is there.
  ASSERT_TRUE(RunCommand(count, &out));
  EXPECT_EQ(std::stoi(out), 15);

  avi.reset();
  ASSERT_TRUE(
      RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_tag_string,width,height,"
                 "r_frame_rate,nb_frames -of default=nw=1 '" +
                     file + "'",
                 &out));
  EXPECT_EQ(out,
            "codec_type=video\ncodec_tag_string=MP43\nwidth=352\nheight=288\n"
            "r_frame_rate=10/1\nnb_frames=15\n");
  ASSERT_TRUE(RunCommand(
      "ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 '" + file + "'",
      &out));
  std::string expectFlags;
  for (const EncodedFrame& f : frames) expectFlags += f.key ? "K_\n" : "__\n";
  EXPECT_EQ(out, expectFlags);
  EXPECT_TRUE(
      RunCommand("ffmpeg -v error -nostdin -xerror -i '" + file + "' -f null - 2>&1", &out));
  EXPECT_EQ(out, "");

  // The stream header holds exactly what was given; the format is the
  // 40-byte MP43 header.
  const std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 224u);
  EXPECT_EQ(bytes.substr(100, 4), "strh");
  EXPECT_EQ(bytes.substr(108, 4), "vids");
  EXPECT_EQ(Le32(bytes, 112), 0u);   // fccHandler
  EXPECT_EQ(Le32(bytes, 128), 1u);   // dwScale
  EXPECT_EQ(Le32(bytes, 132), 10u);  // dwRate
  EXPECT_EQ(Le32(bytes, 140), 15u);  // dwLength
  EXPECT_EQ(Le32(bytes, 144), 405504u);
  EXPECT_EQ(Le32(bytes, 148), 0u);  // dwQuality
  EXPECT_EQ(bytes.substr(164, 4), "strf");
  EXPECT_EQ(Le32(bytes, 168), 40u);
  EXPECT_EQ(bytes.substr(188, 4), "MP43");
  EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
}

}  // namespace
}  // namespace zarvion
