// A tab's recording on motion: each camera whose motion starts records its
// channel, from the seconds before, until the post-roll after the motion
// ends, into EVENT_ files of the record folder.
#include <QFileInfo>

#include "platform/log.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCameras = static_cast<int>(kMaxChannels);

bool IsCamera(int channel) {
  return channel >= 0 && channel < kCameras;
}

}  // namespace

void RecorderTab::SetEventRecordingTimes(const EventRecordingTimes& times) {
  const bool ring =
      times.preRoll != eventTimes_.preRoll || times.ringBytes != eventTimes_.ringBytes;
  eventTimes_ = times;
  if (ring) ApplyPreRoll();
}

void RecorderTab::ApplyPreRoll() {
  for (int c = 0; c < kCameras; ++c) ApplyPreRoll(c);
}

void RecorderTab::ApplyPreRoll(int channel) {
  // Only a camera whose motion starts a recording keeps its last seconds.
  const size_t bytes = MotionRecording(channel) ? eventTimes_.ringBytes : 0;
  if (window_) window_->ConfigurePreRoll(channel, bytes, eventTimes_.preRoll);
}

void RecorderTab::SetMotionRecording(int channel, bool on) {
  if (!IsCamera(channel)) return;
  CameraMotion motion = CameraMotionOf(channel);
  motion.recording = on;
  SetCameraMotion(channel, motion);
}

void RecorderTab::StopMotionRecordingIfOff(int channel) {
  MotionRecord& m = motionRecords_[static_cast<size_t>(channel)];
  if (MotionRecording(channel) || !m.running) return;
  if (window_) window_->StopEventRecording(channel);
  Report(EventKind::kRecordingStopped, channel, m.path);
  emit RecordingFileEnded(m.path);
  m = MotionRecord{};
}

bool RecorderTab::MotionRecording(int channel) const {
  return IsCamera(channel) && motion_[static_cast<size_t>(channel)].recording;
}

QString RecorderTab::EventRecordingPath(int channel) const {
  return IsCamera(channel) && motionRecords_[static_cast<size_t>(channel)].running
             ? motionRecords_[static_cast<size_t>(channel)].path
             : QString();
}

void RecorderTab::OnMotionChanged(int channel, bool active) {
  if (!IsCamera(channel)) return;
  MotionRecord& m = motionRecords_[static_cast<size_t>(channel)];
  const auto now = Clock::now();
  m.motion = active;
  if (!active) {
    m.stopAt = now + eventTimes_.postRoll;
    return;
  }
  // Motion again within the post-roll goes on in the same file.
  if (m.running || !MotionRecording(channel) || state_ != State::kLive || !window_) return;
  if (!window_->StartEventRecording(channel)) {
    const EventRecordingStatus status = window_->EventRecording(channel);
    Log(LogCategory::kViewer, LogSeverity::kWarning, "%s: channel %d: no event recording",
        qUtf8Printable(Title()), channel + 1);
    Report(EventKind::kRecordingFailed, channel,
           FailureText(FailureOf(status.error), status.error, false));
    return;
  }
  const EventRecordingStatus status = window_->EventRecording(channel);
  m.running = true;
  m.fileStart = now;
  m.splitAsked = false;
  m.files = status.files;
  m.path = QString::fromStdString(status.path);
  Report(EventKind::kRecordingStarted, channel, m.path);
  TellRecordingStarted(m.path, CatalogueKind::kEvent, channel);
  diskCheckedAt_ = {};
}

void RecorderTab::WatchEventRecordings(Clock::time_point now) {
  if (!window_) return;
  for (int channel = 0; channel < kCameras; ++channel) {
    MotionRecord& m = motionRecords_[static_cast<size_t>(channel)];
    if (!m.running) continue;
    const EventRecordingStatus status = window_->EventRecording(channel);
    if (status.files != m.files && !status.path.empty()) {
      // A split: the old file is complete, the recording goes on.
      Report(EventKind::kRecordingStopped, channel, m.path);
      emit RecordingFileEnded(m.path);
      m.files = status.files;
      m.path = QString::fromStdString(status.path);
      m.fileStart = now;
      m.splitAsked = false;
      Report(EventKind::kRecordingStarted, channel, m.path);
      TellRecordingStarted(m.path, CatalogueKind::kEvent, channel);
    }
    if (!status.recording) {
      // A write failed (full disk, the folder gone): what was written stays.
      Report(EventKind::kRecordingFailed, channel,
             FailureText(FailureOf(status.error), status.error, false));
      emit RecordingFileEnded(m.path);
      m = MotionRecord{};
      diskCheckedAt_ = {};
      continue;
    }
    if (!m.motion && now >= m.stopAt) {
      window_->StopEventRecording(channel);
      Report(EventKind::kRecordingStopped, channel, m.path);
      emit RecordingFileEnded(m.path);
      m = MotionRecord{};
      continue;
    }
    if (!m.splitAsked && now - m.fileStart >= eventTimes_.longest) {
      window_->SplitEventRecording(channel);
      m.splitAsked = true;
    }
    if (recordingChannel_ < 0 && now - diskCheckedAt_ >= std::chrono::seconds(5)) {
      diskCheckedAt_ = now;
      CheckDiskSpace(QFileInfo(m.path).absolutePath());
    }
  }
}

void RecorderTab::EndEventRecordings() {
  for (int channel = 0; channel < kCameras; ++channel) {
    MotionRecord& m = motionRecords_[static_cast<size_t>(channel)];
    if (m.running && window_) {
      window_->StopEventRecording(channel);
      Report(EventKind::kRecordingStopped, channel, m.path);
      emit RecordingFileEnded(m.path);
    }
    m = MotionRecord{};
  }
}

}  // namespace zarvion::viewer
