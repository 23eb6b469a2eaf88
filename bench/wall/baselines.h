// What the viewer is measured against, from the packets it recorded in its
// warm-up: a bare decode (the floor) and ffmpeg composing the same picture
// (a mosaic of the wall, or one channel scaled to the whole area).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace zarvion::wallbench {

// The video chunks of one of our AVI files, in file order.
std::vector<std::vector<uint8_t>> ReadAviFrames(const std::filesystem::path& file);

// CPU microseconds per frame of a bare one-thread decode, no conversion,
// of about `budget` frames (the files over and over). `interleaved`: the
// channels' frames in turn, one decoder each, as they arrive live (and as
// the mosaic reads them); else one channel after the other, which keeps a
// single decoder's pictures in the caches. `pace`: one frame every so
// long on the steady clock, idle in between, as a live stream arrives (the
// caches and the processor are then not kept warm by the frame before);
// zero: back to back.
double FloorUs(const std::vector<std::filesystem::path>& files, bool interleaved,
               size_t budget = 6000, std::chrono::microseconds pace = {});

// The heap that one decoder per file takes once it has decoded the first
// seconds of its file (all of them open at once, as in the viewer), in MB.
double DecodersMb(const std::vector<std::filesystem::path>& files);

// What one pre-roll ring per file, of at most `bytes` keeping `preRoll`,
// holds in MB once the files have been pushed through them at 25 frames a
// second for `seconds` (over and over): the seconds before a motion that a
// camera recording on motion keeps.
double PreRollMb(const std::vector<std::filesystem::path>& files, size_t bytes,
                 std::chrono::milliseconds preRoll, double seconds = 20);

// How ffmpeg scales: bicubic is its default, nearest neighbour is how the
// viewer samples.
enum class Sampling { kBicubic, kNeighbour };

// ffmpeg's CPU microseconds per input frame (`frames` in all the files) for
// a 4 x 4 mosaic of the files in a 1920 x 1060 BGRA picture.
double MosaicUs(const std::vector<std::filesystem::path>& files, size_t frames, Sampling s);
// The same for one file scaled to the whole 1920 x 1060.
double SingleUs(const std::filesystem::path& file, size_t frames, Sampling s);

}  // namespace zarvion::wallbench
