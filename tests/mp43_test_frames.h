// Real MS MPEG-4 v3 frames for the video tests, made by libavcodec's own
// encoder, and ffmpeg's own decode of them as the oracle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/avi_file.h"

namespace zarvion::testing {

struct EncodedFrame {
  std::vector<uint8_t> bytes;
  bool key = false;
  uint16_t Flags() const { return key ? 0x10 : 0; }
};

// `count` frames of a moving colour pattern, 352 x 288, a key frame every
// `gop` frames starting with the first.
std::vector<EncodedFrame> EncodeTestFrames(int count, int gop = 10, int width = 352,
                                           int height = 288);

// Runs a shell command; its standard output, and whether it exited with 0.
bool RunCommand(const std::string& command, std::string* output = nullptr);

// ffmpeg's decode of `file` as raw frames of `pixFmt` (e.g. "bgra").
std::string FfmpegDecode(const std::string& file, const std::string& pixFmt);

// The frames written as a recording at `path` with our AVI writer, then
// decoded by ffmpeg as raw "bgra" frames: the oracle for our decoder.
std::string FfmpegDecodeFrames(const std::string& path, const std::vector<EncodedFrame>& frames);

// A video stream in `avi` as a recording has it: 352 x 288 MS MPEG-4 v3,
// 10 frames per second, its format set; null when the writer refuses.
AviStream* CreateMp43Stream(AviFile& avi);

// PSNR in dB over the B, G and R bytes of two 4-byte-per-pixel pictures;
// infinity when identical.
double PsnrBgrx(const uint8_t* a, const uint8_t* b, size_t pixels);

// A fresh, empty folder under the system temp folder, removed by the
// destructor with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::vector<std::string> Files() const;

 private:
  std::string path_;
};

}  // namespace zarvion::testing
