// A recording for the benchmarks that read recordings back: CIF at 25 fps
// with a key frame every 2 s, made once by ffmpeg's MS MPEG-4 v3 encoder
// into a temporary folder that is removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zarvion::bench {

inline constexpr const char* kRecordingName = "CLIENT_CH01_2026_01_01_00_00_00_000.avi";

struct BenchFolder {
  std::string path;
  ~BenchFolder() { std::filesystem::remove_all(path); }
};

// The folder of a recording of `frames` frames named kRecordingName, made
// at the first call; `options` goes to the encoder (a bitrate, say).
inline std::string MakeBenchFolder(const char* tag, int frames, const std::string& options) {
  const char* tmp = std::getenv("TMPDIR");
  std::string f = std::string(tmp && *tmp ? tmp : "/tmp") + "/zarvion-" + tag + "-bench-XXXXXX";
  if (!mkdtemp(f.data())) std::abort();
  const std::string make =
      "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=352x288:rate=25 -frames:v " +
      std::to_string(frames) + " -c:v msmpeg4 -vtag MP43 -g 50 " + options + " '" + f + "/" +
      kRecordingName + "'";
  if (std::system(make.c_str()) != 0) std::abort();
  return f;
}

}  // namespace zarvion::bench
