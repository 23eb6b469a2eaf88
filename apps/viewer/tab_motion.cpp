// RecorderTab's motion: the control's detectors polled, each event told as
// it begins and ends, kept as a row with its picture, and marked on its pane.
#include <algorithm>

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QLabel>

#include "platform/log.h"
#include "video/renderer.h"
#include "view/draw_mode.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer {

namespace {

// Below the "● REC" mark, which sits in the same corner.
constexpr int kMotionMarkInset = 6;
constexpr int kMotionMarkTop = 30;

int64_t NowMs() {
  return QDateTime::currentMSecsSinceEpoch();
}

// The peak frame's grey picture as PNG; empty when there is none.
QByteArray ThumbnailPng(const MotionStatus& status) {
  if (status.thumbnail.size() != static_cast<size_t>(kMotionThumbWidth) * kMotionThumbHeight) {
    return {};
  }
  const QImage image(status.thumbnail.data(), kMotionThumbWidth, kMotionThumbHeight,
                     kMotionThumbWidth, QImage::Format_Grayscale8);
  QByteArray png;
  QBuffer out(&png);
  out.open(QIODevice::WriteOnly);
  if (!image.save(&out, "PNG")) return {};
  return png;
}

}  // namespace

QLabel* RecorderTab::MotionMark(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return nullptr;
  return motionMarks_[static_cast<size_t>(channel)];
}

void RecorderTab::SetMotionEnabled(int channel, bool on) {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return;
  const uint32_t bit = 1u << channel;
  motionOff_ = on ? (motionOff_ & ~bit) : (motionOff_ | bit);
  if (control_) control_->SetMotionEnabled(channel, on);
}

bool RecorderTab::MotionEnabled(int channel) const {
  return channel >= 0 && channel < static_cast<int>(kMaxChannels) &&
         (motionOff_ & (1u << channel)) == 0;
}

void RecorderTab::ApplyMotionSettings() {
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    if (motionOff_ & (1u << c)) control_->SetMotionEnabled(c, false);
  }
}

void RecorderTab::WatchMotion(bool ended) {
  bool changed = false;
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    const size_t k = static_cast<size_t>(c);
    const bool was = motionActive_[k];
    if (ended || !control_) {
      if (was) {
        EndMotion(c, control_ ? control_->Motion(c) : MotionStatus{});
        changed = true;
      }
      continue;
    }
    const MotionStatus status = control_->Motion(c);
    if (!motionSynced_) {
      // A session begins: the control's count starts from here.
      motionChanges_[k] = status.changes;
      if (status.active) {
        BeginMotion(c);
        changed = true;
      }
      continue;
    }
    // Each start and each end counts one: two or more since the last poll
    // mean an event ended and another began (or one came and went) between.
    const uint32_t steps = status.changes - motionChanges_[k];
    motionChanges_[k] = status.changes;
    if (steps == 0 && status.active == was) continue;
    const bool missed = steps >= 2;
    if (was && (!status.active || missed)) EndMotion(c, status);
    if (!was && !status.active && missed) {
      BeginMotion(c);
      EndMotion(c, status);
    }
    if (status.active && (!was || missed)) BeginMotion(c);
    changed = true;
  }
  motionSynced_ = !ended && control_;
  if (changed) PlaceMotionMarks();
}

void RecorderTab::BeginMotion(int channel) {
  const size_t k = static_cast<size_t>(channel);
  motionActive_[k] = true;
  motionStartMs_[k] = NowMs();
  Log(LogCategory::kViewer, LogSeverity::kInfo, "%s: motion on channel %d",
      qUtf8Printable(Title()), channel + 1);
  emit MotionChanged(channel, true);
}

void RecorderTab::EndMotion(int channel, const MotionStatus& status) {
  const size_t k = static_cast<size_t>(channel);
  motionActive_[k] = false;
  Event event;
  event.recorder = Title();
  event.channel = channel;
  event.kind = EventKind::kMotion;
  event.timeMs = motionStartMs_[k];
  event.endMs = std::max(NowMs(), motionStartMs_[k]);
  event.peakPermille = status.peakPermille;
  event.detail = tr("变化 %1%").arg((status.peakPermille + 5) / 10);
  event.thumbnail = ThumbnailPng(status);
  emit MotionChanged(channel, false);
  emit EventOccurred(event);
}

void RecorderTab::PlaceMotionMarks() {
  const uint32_t drawMode = control_ ? control_->Object().dwDrawMode.load() : kDefaultDrawMode;
  const View view = ClassifyDrawMode(drawMode);
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    QLabel*& mark = motionMarks_[static_cast<size_t>(c)];
    const bool shown =
        motionActive_[static_cast<size_t>(c)] && state_ == State::kLive &&
        ((view.kind == ViewKind::kSingle && drawMode == static_cast<uint32_t>(c)) ||
         (view.kind == ViewKind::kGrid && c < view.side * view.side));
    if (!shown) {
      if (mark) mark->hide();
      continue;
    }
    if (!mark) mark = NewMark(tr("● 移动"), "rgb(230, 120, 0)", "1px 6px");
    const QRect pane = PaneInTab(drawMode, c);
    const QSize hint = mark->sizeHint();
    mark->setGeometry(pane.x() + pane.width() - hint.width() - kMotionMarkInset,
                      pane.y() + kMotionMarkTop, hint.width(), hint.height());
    mark->show();
    mark->raise();
  }
  RaiseBanner();
}

}  // namespace zarvion::viewer
