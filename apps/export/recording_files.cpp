#include "export/recording_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <regex>

extern "C" {
#include <libavformat/avformat.h>
}

namespace zarvion::recordings {

namespace {

// A local wall-clock time in milliseconds since the epoch; nothing when
// the fields name no real time (31 February, 25:00).
std::optional<WallMs> LocalToMs(int year, int month, int day, int hour, int minute, int second,
                                int ms) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::tm asked = tm;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_year != asked.tm_year ||
      tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday || tm.tm_min != asked.tm_min ||
      tm.tm_sec != asked.tm_sec) {
    return std::nullopt;
  }
  // The hour may move by one where the clock changes; anything else is a
  // time that does not exist.
  if (tm.tm_hour != asked.tm_hour && (tm.tm_hour + 23) % 24 != asked.tm_hour &&
      (tm.tm_hour + 1) % 24 != asked.tm_hour) {
    return std::nullopt;
  }
  return static_cast<WallMs>(t) * 1000 + ms;
}

// The rate mark and header rate of one of our files, read directly: the
// mark lies where no demuxer reports it.
std::optional<AviRateOrigin> RateMark(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  uint8_t header[224];
  const ssize_t n = ::pread(fd, header, sizeof header, 0);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof header)) return std::nullopt;
  return ReadAviRateMark(header, sizeof header);
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

std::optional<RecordingName> ParseRecordingName(const std::string& path) {
  static const std::regex pattern(
      R"(([A-Za-z0-9]+)_CH(\d\d)_(\d{4})_(\d\d)_(\d\d)_(\d\d)_(\d\d)_(\d\d)_(\d{3})(_\d+)?(\.repaired)?\.avi)");
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::smatch m;
  if (!std::regex_match(base, m, pattern)) return std::nullopt;
  auto n = [&m](int i) { return std::stoi(m[i].str()); };
  const std::optional<WallMs> start = LocalToMs(n(3), n(4), n(5), n(6), n(7), n(8), n(9));
  if (!start) return std::nullopt;
  return RecordingName{m[1].str(), n(2), *start};
}

std::optional<WallMs> ParseWallClock(const std::string& text) {
  static const std::regex pattern(R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d))");
  std::smatch m;
  if (!std::regex_match(text, m, pattern)) return std::nullopt;
  auto n = [&m](int i) { return std::stoi(m[i].str()); };
  return LocalToMs(n(1), n(2), n(3), n(4), n(5), n(6), 0);
}

std::string FormatWallClock(WallMs t) {
  const std::time_t s = static_cast<std::time_t>(t >= 0 ? t / 1000 : (t - 999) / 1000);
  std::tm tm{};
  localtime_r(&s, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

bool PlanRecordings(const std::vector<std::string>& paths, std::vector<Recording>* out,
                    std::string* error) {
  std::vector<Recording> list;
  for (const std::string& path : paths) {
    Recording r;
    r.path = path;
    std::optional<RecordingName> name = ParseRecordingName(path);
    if (!name) {
      *error = path + ": no start time in its name (PREFIX_CHnn_YYYY_MM_DD_HH_MM_SS_mmm.avi)";
      return false;
    }
    r.name = *name;
    AVFormatContext* fmt = nullptr;
    const int opened = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
    if (opened < 0) {
      *error = path + ": cannot read: " + AvError(opened);
      return false;
    }
    const AVStream* video = nullptr;
    for (unsigned i = 0; i < fmt->nb_streams && !video; ++i) {
      if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = fmt->streams[i];
    }
    if (!video || video->codecpar->width <= 0 || video->codecpar->height <= 0 ||
        std::string(fmt->iformat->name) != "avi") {
      avformat_close_input(&fmt);
      *error = path + ": not a video recording";
      return false;
    }
    r.frames = static_cast<uint32_t>(std::max<int64_t>(video->nb_frames, 0));
    r.width = video->codecpar->width;
    r.height = video->codecpar->height;
    r.codecTag = video->codecpar->codec_tag;
    // The demuxer's time base is the header's scale over its rate.
    const AVRational tb = video->time_base;
    avformat_close_input(&fmt);
    const FrameRate header{static_cast<uint32_t>(tb.den), static_cast<uint32_t>(tb.num)};
    const std::optional<AviRateOrigin> mark = RateMark(path);
    // Our older files (no mark) all say 10 whatever the recorder sent, and
    // a mark that only assumed a rate knows no better.
    const bool trusted = tb.num > 0 && tb.den > 0 &&
                         (mark ? *mark != AviRateOrigin::kAssumed : !(header == FrameRate{10, 1}));
    if (trusted) {
      r.rate = header;
      r.rateSource = RateSource::kHeader;
    }
    list.push_back(std::move(r));
  }
  std::stable_sort(list.begin(), list.end(), [](const Recording& a, const Recording& b) {
    return a.name.start < b.name.start;
  });
  // A file whose rate the header does not know: its frames over the time
  // until the same channel's next file starts, when that gives a rate a
  // camera could have (a gap between two recordings would give less).
  for (size_t i = 0; i < list.size(); ++i) {
    Recording& r = list[i];
    if (r.rateSource == RateSource::kHeader) continue;
    for (size_t j = i + 1; j < list.size(); ++j) {
      const Recording& next = list[j];
      if (next.name.channel != r.name.channel || next.name.prefix != r.name.prefix) continue;
      const WallMs span = next.name.start - r.name.start;
      if (span > 0 && r.frames > 1) {
        const double fps = r.frames * 1000.0 / static_cast<double>(span);
        if (fps >= 1 && fps <= 60) {
          if (std::optional<FrameRate> rate = NearestFrameRate(fps)) {
            r.rate = *rate;
            r.rateSource = RateSource::kNextFile;
          }
        }
      }
      break;
    }
  }
  *out = std::move(list);
  return true;
}

}  // namespace zarvion::recordings
