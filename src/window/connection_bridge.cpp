#include "window/connection_bridge.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include <QAbstractButton>
#include <QSlider>

#include "net/control_object.h"
#include "net/protocol.h"
#include "platform/code_page.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "window/control_window.h"
#include "window/gui_calls.h"
#include "window/notice_box.h"
#include "window/window_layout.h"
#include "window/window_texts.h"

namespace zarvion {

ConnectionBridge::ConnectionBridge(ControlWindow& window, GuiCalls& calls,
                                   std::function<void(uint32_t)> viewChanged,
                                   ShowWarning showWarning)
    : w_(window),
      calls_(calls),
      viewChanged_(std::move(viewChanged)),
      showWarning_(std::move(showWarning)) {}

ConnectionBridge::~ConnectionBridge() {
  CloseNotice();
}

void ConnectionBridge::SessionStarted(uint32_t flags, uint32_t channels) {
  Run([this, flags, channels] {
    if (flags & kFlagPlayback) w_.Control(kIdPlaybackRequest)->setEnabled(true);
    SettingsDialog* settings = w_.Settings();
    if (!(flags & kFlagPictureSettings) || !settings) return;
    // "All channels", then one entry per channel the recorder has.
    std::vector<std::string> items{WindowText(kItemAllChannels).toStdString()};
    for (uint32_t k = 1; k <= channels; ++k) {
      items.push_back(QString::asprintf("CH %02u", k).toStdString());
    }
    settings->FillChannelList(items, 0);
    for (int id :
         {kIdChannelList, kIdBrightness, kIdHue, kIdSaturation, kIdContrast, kIdDefaultParams}) {
      settings->EnableItem(id, true);
    }
  });
}

void ConnectionBridge::PlaybackStarted(uint32_t steps) {
  Run([this, steps] {
    QSlider* slider = w_.PositionSlider();
    slider->setEnabled(true);
    // Slider values are ints; step numbers are unsigned 32-bit.
    slider->setRange(0, static_cast<int>(std::min<uint32_t>(steps, INT_MAX)));
    FollowPlayback(0);
    w_.Control(kIdStop)->setEnabled(true);
    w_.Control(kIdPlayPause)->setEnabled(true);
    w_.Control(kIdSettings)->setEnabled(false);
    w_.Control(kIdCapture)->setEnabled(true);
    w_.Button(kIdPlayPause)->setText(WindowText(kCaptionPause));
  });
}

void ConnectionBridge::PlaybackPosition(uint32_t position) {
  Run([this, position] { FollowPlayback(position); });
}

void ConnectionBridge::FollowPlayback(uint32_t position) {
  // A step that was under way when the user pressed stop must not move
  // the slider back from 0: a disabled slider no longer follows playback.
  // Nor does a slider the user holds: the release seeks to where it was
  // let go, not to where the steps had got to.
  QSlider* slider = w_.PositionSlider();
  if (slider->isEnabled() && !slider->isSliderDown() && !w_.SliderReleasePending()) {
    slider->setValue(static_cast<int>(std::min<uint32_t>(position, INT_MAX)));
  }
}

void ConnectionBridge::PlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                                   const std::string& locationGbk) {
  Run([this, channelGbk, timeGbk, locationGbk] {
    if (PlaybackDialog* d = w_.Playback()) d->AppendPlaybackRow(channelGbk, timeGbk, locationGbk);
  });
}

void ConnectionBridge::PostServerText() {
  // The text is taken now, on the thread that wrote it, so the next notice
  // can reuse the buffer while the box is still open.
  const ControlObject& obj = w_.Object();
  const auto& buffer = obj.szServerText;
  const size_t length = strnlen(buffer.data(), buffer.size());
  const QString text = QString::fromStdString(GbkToUtf8(std::string_view(buffer.data(), length)));
  const QString from = QString::fromStdString(obj.socket.PeerAddress());
  // Not through calls_: the thread does not wait for the box. Notices
  // that arrive faster than the window shows them are not queued one by
  // one: the latest text wins, and one queued call shows it.
  {
    std::lock_guard hold(noticeLock_);
    pendingNotice_ = text;
    pendingNoticeFrom_ = from;
    if (noticePosted_) return;
    noticePosted_ = true;
  }
  QMetaObject::invokeMethod(
      &w_, [this] { ShowPendingNotice(); }, Qt::QueuedConnection);
}

void ConnectionBridge::ViewChanged(uint32_t leftView) {
  Run([this, leftView] { viewChanged_(leftView); });
}

void ConnectionBridge::CloseNotice() {
  delete noticeBox_.data();
}

void ConnectionBridge::Run(std::function<void()> fn) {
  calls_.Call(std::move(fn), w_.Object().hStopEvent.get());
}

void ConnectionBridge::ShowPendingNotice() {
  QString text, from;
  {
    std::lock_guard hold(noticeLock_);
    text = std::move(pendingNotice_);
    from = std::move(pendingNoticeFrom_);
    pendingNotice_.clear();
    pendingNoticeFrom_.clear();
    noticePosted_ = false;
  }
  ShowServerText(from, text);
}

void ConnectionBridge::ShowServerText(const QString& from, const QString& text) {
  QString caption = WindowText(kServerTextCaption);
  if (!from.isEmpty()) caption += QString::fromUtf8(" — ") + from;
  if (showWarning_) {
    // The hook may run the host's event loop, which may destroy this
    // window: nothing of it is used afterwards.
    const auto show = showWarning_;
    show(caption, text);
    return;
  }
  // One box without owner and without a modal loop of its own: the host,
  // the toolbar and the dialogs stay usable while it is open, and a later
  // notice replaces its text instead of stacking another box (a modal box
  // per notice nests one event loop in the last, until the stack runs out).
  // The recorder is not trusted: its text is shown as plain characters in a
  // box that stays within the screen (NoticeBox).
  if (!noticeBox_) {
    noticeBox_ = new NoticeBox(nullptr);
    noticeBox_->setWindowModality(Qt::NonModal);
    noticeBox_->setAttribute(Qt::WA_DeleteOnClose);
  }
  noticeBox_->SetNotice(caption, text);
  noticeBox_->show();
}

}  // namespace zarvion
