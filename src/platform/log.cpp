#include "platform/log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zarvion {

namespace {

constexpr const char* kNames[kLogCategoryCount] = {"net",      "video", "recording",
                                                   "settings", "shell", "viewer"};

uint32_t Bit(LogCategory category) {
  return 1u << static_cast<unsigned>(category);
}

bool DefaultEnabled(LogCategory category) {
  return (LogCategoriesFromEnvironment() & Bit(category)) != 0;
}

void DefaultWrite(LogCategory category, LogSeverity, const char* line) {
  // One write per line, so that lines of several threads never interleave.
  std::string out = std::string("zarvion.") + LogCategoryName(category) + ": " + line + "\n";
  std::string_view rest = out;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

constexpr LogSink kDefaultSink{DefaultEnabled, DefaultWrite};
std::atomic<const LogSink*> sink{&kDefaultSink};

}  // namespace

const char* LogCategoryName(LogCategory category) {
  const auto i = static_cast<unsigned>(category);
  return i < kLogCategoryCount ? kNames[i] : "?";
}

const LogSink* SetLogSink(const LogSink* next) {
  const LogSink* before = sink.exchange(next ? next : &kDefaultSink);
  return before == &kDefaultSink ? nullptr : before;
}

uint32_t ParseLogCategories(std::string_view text) {
  uint32_t bits = 0;
  while (!text.empty()) {
    const size_t end = text.find_first_of(", ");
    std::string_view name = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (name.substr(0, 8) == "zarvion.") name.remove_prefix(8);
    if (name == "all" || name == "*") bits = (1u << kLogCategoryCount) - 1;
    for (int i = 0; i < kLogCategoryCount; ++i) {
      if (name == kNames[i]) bits |= 1u << i;
    }
  }
  return bits;
}

uint32_t LogCategoriesFromEnvironment() {
  static const uint32_t bits = [] {
    const char* v = std::getenv("ZARVION_LOG");
    return v ? ParseLogCategories(v) : 0u;
  }();
  return bits;
}

bool LogEnabled(LogCategory category) {
  return sink.load(std::memory_order_acquire)->enabled(category);
}

void Log(LogCategory category, LogSeverity severity, const char* format, ...) {
  const int saved = errno;
  const LogSink* to = sink.load(std::memory_order_acquire);
  if (to->enabled(category)) {
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= static_cast<int>(sizeof small)) {
      std::string large(static_cast<size_t>(n) + 1, '\0');
      std::vsnprintf(large.data(), large.size(), format, again);
      to->write(category, severity, large.c_str());
    } else if (n >= 0) {
      to->write(category, severity, small);
    }
    va_end(again);
  }
  errno = saved;
}

std::string ErrnoText(int error) {
  char buffer[256];
  // The GNU strerror_r: the text is either in the buffer or a static one.
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return std::string(text) + " (errno " + std::to_string(error) + ")";
}

LogTally::LogTally(LogCategory category, std::string what, std::chrono::seconds interval)
    : category_(category), what_(std::move(what)), interval_(interval) {}

LogTally::~LogTally() {
  Flush();
}

void LogTally::Count() {
  ++total_;
  if (total_ == 1 || std::chrono::steady_clock::now() - toldAt_ >= interval_) Tell();
}

void LogTally::Flush() {
  if (total_ != told_) Tell();
}

void LogTally::Tell() {
  const auto now = std::chrono::steady_clock::now();
  if (told_ == 0) {
    Log(category_, LogSeverity::kWarning, "%s: 1 so far", what_.c_str());
  } else {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - toldAt_).count();
    Log(category_, LogSeverity::kWarning, "%s: %llu more in %lld s, %llu in all", what_.c_str(),
        static_cast<unsigned long long>(total_ - told_), static_cast<long long>(seconds),
        static_cast<unsigned long long>(total_));
  }
  told_ = total_;
  toldAt_ = now;
}

}  // namespace zarvion
