#include "dvrsim/message_log.h"

#include <cerrno>
#include <cstring>
#include <sstream>

namespace zarvion::dvrsim {
namespace {

const char* CodeName(uint8_t code) {
  switch (code) {
    case kSessionQuery:
      return "SessionQuery";
    case kFileListRequest:
      return "FileListRequest";
    case kPlayFileRequest:
      return "PlayFileRequest";
    case kSelectChannels:
      return "SelectChannels";
    case kPlaybackStep:
      return "PlaybackStep";
    case kPlaybackStop:
      return "PlaybackStop";
    case kLogin:
      return "Login";
    case kVideoParamQuery:
      return "VideoParamQuery";
    case kVideoParamSet:
      return "VideoParamSet";
    default:
      return "unknown";
  }
}

std::string Hex(const std::vector<uint8_t>& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (uint8_t v : b) {
    s += digits[v >> 4];
    s += digits[v & 15];
  }
  return s;
}

std::string JsonLine(const LoggedMessage& m, double seconds) {
  const MessageHeader& h = m.header;
  std::ostringstream o;
  o << "{\"t\":" << seconds << ",\"client\":" << m.client << ",\"code\":" << int{h.code}
    << ",\"name\":\"" << CodeName(h.code) << "\",\"channel\":" << int{h.channel}
    << ",\"param0\":" << h.param0 << ",\"param1\":" << h.param1 << ",\"param2\":" << h.param2
    << ",\"param3\":" << h.param3 << ",\"param4\":" << h.param4 << ",\"length\":" << h.length
    << ",\"checksum\":" << h.checksum
    << ",\"checksumValid\":" << (m.checksumValid ? "true" : "false") << ",\"payload\":\""
    << Hex(m.payload) << "\"}\n";
  return o.str();
}

}  // namespace

MessageLog::~MessageLog() {
  CloseFile();
}

bool MessageLog::OpenFile(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void MessageLog::CountFrom(std::chrono::steady_clock::time_point start) {
  std::lock_guard<std::mutex> lock(mutex_);
  start_ = start;
}

void MessageLog::CloseFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void MessageLog::Record(LoggedMessage m) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::string line = JsonLine(m, seconds);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
  messages_.push_back(std::move(m));
  changed_.notify_all();
}

std::vector<LoggedMessage> MessageLog::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool MessageLog::WaitFor(const std::function<bool(const LoggedMessage&)>& match,
                         int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t checked = 0;
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (; checked < messages_.size(); ++checked) {
      if (match(messages_[checked])) return true;
    }
    return false;
  });
}

}  // namespace zarvion::dvrsim
