// zarvion-export [--from TIME] [--to TIME] [--avi] [--time] FILE... -o OUT
//
// Exports the viewer's recordings, joined in time order, as a file anyone
// can play: H.264 in MP4 (the default) or, with --avi, the original frames
// cut at key frames. TIME is local wall-clock time, "YYYY-MM-DD HH:MM:SS";
// without --from and --to the whole files go out. A progress line goes to
// standard error. The output appears only when complete (written beside it
// under a temporary name first); exit status 0 then, and only then.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <QGuiApplication>

extern "C" {
#include <libavutil/log.h>
}

#include "export/recording_export.h"
#include "zarvion_version.h"

namespace {

using namespace zarvion::recordings;

constexpr const char* kUsage =
    "usage: zarvion-export [--from TIME] [--to TIME] [--avi] [--time] FILE... -o OUT\n"
    "       TIME: local time as \"YYYY-MM-DD HH:MM:SS\"\n";

std::atomic<bool> stopAsked{false};
volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int sig) {
  stopSignal = sig;
  stopAsked.store(true);
}

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "zarvion-export: %s\n", message.c_str());
  return status;
}

// Percent of the frames: rewritten in place on a terminal, a line every
// five percent otherwise.
class ProgressLine {
 public:
  ProgressLine() : terminal_(::isatty(2) == 1) {}
  void operator()(uint64_t done, uint64_t total) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 0;
    if (percent == shown_ || (!terminal_ && percent < shown_ + 5 && percent != 100)) return;
    shown_ = percent;
    std::fprintf(stderr,
                 terminal_ ? "\rzarvion-export: %3d%% (%llu of %llu frames)"
                           : "zarvion-export: %3d%% (%llu of %llu frames)\n",
                 percent, static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total));
    open_ = terminal_;
  }
  void End() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
  }

 private:
  bool terminal_;
  int shown_ = -1;
  bool open_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  ExportOptions options;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    // The argument after an option, or null at the end.
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (onlyFiles || a.empty() || a[0] != '-' || a == "-") {
      options.files.push_back(a);
    } else if (a == "--") {
      onlyFiles = true;
    } else if (a == "--version") {
      std::printf("zarvion-export %s\n", ZARVION_VERSION);
      return 0;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--avi") {
      options.avi = true;
    } else if (a == "--time") {
      options.burnTime = true;
    } else if (a == "--from" || a == "--to") {
      const char* v = value();
      if (!v) return Fail(a + " needs a time\n" + kUsage, 2);
      const std::optional<WallMs> t = ParseWallClock(v);
      if (!t) {
        return Fail("bad time '" + std::string(v) + "' for " + a + ": expected YYYY-MM-DD HH:MM:SS",
                    2);
      }
      (a == "--from" ? options.from : options.to) = t;
    } else if (a == "-o") {
      const char* v = value();
      if (!v) return Fail("-o needs a file name\n" + std::string(kUsage), 2);
      options.out = v;
    } else {
      return Fail("unknown option '" + a + "'\n" + kUsage, 2);
    }
  }
  if (options.files.empty() || options.out.empty()) {
    return Fail(
        std::string(options.files.empty() ? "no recordings given" : "no output file given") + "\n" +
            kUsage,
        2);
  }
  if (options.avi && options.burnTime) {
    return Fail("--time draws into decoded pictures; --avi keeps the frames as they are", 2);
  }

  av_log_set_level(AV_LOG_ERROR);
  // The font of the time stamp needs Qt's font system, never a display.
  std::unique_ptr<QGuiApplication> app;
  if (options.burnTime) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QGuiApplication>(argc, argv);
  }

  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  ProgressLine progress;
  options.cancel = &stopAsked;
  options.progress = [&progress](uint64_t done, uint64_t total) { progress(done, total); };
  const ExportResult r = ExportRecordings(options);
  progress.End();
  if (stopSignal) return Fail("interrupted; nothing written", 128 + stopSignal);
  if (!r.ok) return Fail(r.error, 1);
  std::fprintf(stderr, "zarvion-export: %s: %llu frames at %.3f frames a second\n",
               options.out.c_str(), static_cast<unsigned long long>(r.frames), r.rate.Fps());
  return 0;
}
