// A recording process for the kill tests: records channel 1 into the folder
// given, feeding the frames of a frame file in a loop through the real
// decoder, and writes one byte to its standard output after each frame it
// has appended. It runs until it is killed (or a generous bound). Frames
// follow each other 2 ms apart, or PERIOD milliseconds apart as a camera
// sends them (kept on time over the whole run). With "event" it makes an
// event recording instead, started once every frame of the file but the
// first went through.
//
//   record_child FOLDER FRAMES [PERIOD [event]]   (FRAMES: per frame u32 size, u8 key, bytes)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <QGuiApplication>

#include "video/channel_decoder.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) return 2;
  const int period = argc >= 4 ? std::atoi(argv[3]) : 0;
  const bool event = argc == 5 && std::string(argv[4]) == "event";
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  struct Frame {
    const uint8_t* data;
    uint32_t size;
    uint16_t flags;
  };
  std::vector<Frame> frames;
  for (size_t at = 0; at + 5 <= bytes.size();) {
    const uint32_t size = bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                          static_cast<uint32_t>(bytes[at + 3]) << 24;
    if (at + 5 + size > bytes.size()) return 2;
    frames.push_back({bytes.data() + at + 5, size, uint16_t(bytes[at + 4] ? 0x10 : 0)});
    at += 5 + size;
  }
  if (frames.empty()) return 2;

  zarvion::CChannelDecoder decoder;
  decoder.nChannel = 0;
  if (!decoder.Create(352, 288)) return 3;
  const std::string folder = argv[1];
  decoder.recordFolder = [&] { return folder; };
  if (event) {
    for (size_t i = 1; i < frames.size(); ++i) {
      if (!decoder.Decode(frames[i].data, frames[i].size, frames[i].flags)) return 6;
    }
    if (!decoder.StartEventRecording()) return 4;
  } else if (!decoder.StartRecording()) {
    return 4;
  }
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < 100000; ++i) {
    if (period > 0) std::this_thread::sleep_until(start + std::chrono::milliseconds(period) * i);
    const Frame& f = frames[i % frames.size()];
    if (!decoder.Decode(f.data, f.size, f.flags)) return 6;
    if (::write(1, "x", 1) != 1) return 5;
    if (period == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return 0;
}
