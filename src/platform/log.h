// The log: one line for each failure an operator or a developer needs to
// understand later (a connect refused, a file that could not be written,
// pictures that could not be decoded), by category. Nothing is written
// unless asked: $ZARVION_LOG names the categories ("net,recording", or
// "all"), and where the control's Qt side is loaded Qt's logging rules raise
// them too (QT_LOGGING_RULES="zarvion.*=true"; see window/log_sink.h).
//
// Never log per frame: a failure that can come with every frame is counted
// by a LogTally, which writes the first and then a summary now and then.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zarvion {

enum class LogCategory : uint8_t {
  kNet,        // connects and sessions
  kVideo,      // decoders
  kRecording,  // recordings, snapshots, the repair of recordings
  kSettings,   // the registry's files and the settings' folders
  kShell,      // the scriptable object and its registration
  kViewer,     // the viewer application
};
inline constexpr int kLogCategoryCount = 6;

enum class LogSeverity : uint8_t { kInfo, kWarning, kError };

// "net", "video", "recording", "settings", "shell", "viewer". The line's
// prefix and the Qt category are "zarvion." followed by it.
const char* LogCategoryName(LogCategory category);

// Where lines go. Both members are called on any thread, also at once.
struct LogSink {
  bool (*enabled)(LogCategory category);
  // `line` is the message alone, without category or line end.
  void (*write)(LogCategory category, LogSeverity severity, const char* line);
};

// Makes `sink` (which must stay alive while it is set) the one lines go to;
// null restores the default, which writes "zarvion.net: ..." to standard
// error for the categories $ZARVION_LOG enables. Returns the sink replaced
// (null for the default).
const LogSink* SetLogSink(const LogSink* sink);

// The categories in `text` as bits (1 << category): names separated by
// commas or spaces, "zarvion." before a name allowed, "all" or "*" for
// every one; unknown names are ignored.
uint32_t ParseLogCategories(std::string_view text);
// ParseLogCategories($ZARVION_LOG), read once per process.
uint32_t LogCategoriesFromEnvironment();

// Whether a line of this category would go anywhere. Cheap: ask before
// building an expensive message.
bool LogEnabled(LogCategory category);

// Formats one line and hands it to the sink, when the category is enabled.
// errno is as it was afterwards, so a caller may log before it reads it.
void Log(LogCategory category, LogSeverity severity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "No such file or directory (errno 2)".
std::string ErrnoText(int error);

// Counts a failure that can come with every frame. The first is logged at
// once; later ones as one summary at most every `interval`, and what was
// not told yet when the tally ends (Flush, or its destruction). Not for
// several threads at once.
class LogTally {
 public:
  // `what` names the failures: "channel 3: frames not decoded".
  LogTally(LogCategory category, std::string what,
           std::chrono::seconds interval = std::chrono::seconds(10));
  ~LogTally();
  LogTally(const LogTally&) = delete;
  LogTally& operator=(const LogTally&) = delete;

  void Count();
  void Flush();
  uint64_t Total() const { return total_; }

 private:
  void Tell();

  LogCategory category_;
  std::string what_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point toldAt_{};
  uint64_t total_ = 0;
  uint64_t told_ = 0;
};

}  // namespace zarvion
