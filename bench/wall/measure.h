// What the wall benchmark measures and how: the live wall it runs, the
// clocks it reads and the order statistics it reports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace zarvion::wallbench {

// The wall: 16 channels at 25 frames a second in a 1920 x 1060 video area.
constexpr int kVideoWidth = 1920;
constexpr int kVideoHeight = 1060;
constexpr int kChannels = 16;
constexpr int kFps = 25;

// Nanoseconds on the steady clock.
int64_t NowNs();
// CPU seconds (user + system) of a process, all threads, from /proc.
double ProcessCpu(pid_t pid);
// The same for this process.
double SelfCpu();
// The calling thread's CPU seconds.
double ThreadCpu();
// A "Key:" line of /proc/PID/status in kB (VmHWM: the peak resident set);
// 0 when missing.
double ProcessStatusKb(pid_t pid, const char* key);
int SelfThreads();

// The value at fraction `p` (0..1) of the sorted values; 0 for none.
double Percentile(std::vector<double> v, double p);
double Median(std::vector<double> v);

}  // namespace zarvion::wallbench
