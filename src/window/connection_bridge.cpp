#include "window/connection_bridge.h"

#include <cstring>
#include <utility>

#include <QAbstractButton>
#include <QSlider>

#include "net/control_object.h"
#include "platform/code_page.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "window/control_window.h"
#include "window/gui_calls.h"
#include "window/notice_box.h"
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

void ConnectionBridge::EnableControl(UiWindow window, int id, bool enable) {
  Run([this, window, id, enable] {
    if (QWidget* control = Find(window, id)) control->setEnabled(enable);
  });
}

void ConnectionBridge::SetControlText(UiWindow window, int id, const std::string& utf8) {
  Run([this, window, id, text = WindowText(utf8.c_str())] {
    QWidget* control = Find(window, id);
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
      button->setText(text);
    } else if (control) {
      control->setWindowTitle(text);
    }
  });
}

void ConnectionBridge::SetSliderRange(int min, int max) {
  Run([this, min, max] { w_.PositionSlider()->setRange(min, max); });
}

void ConnectionBridge::SetSliderPos(int pos) {
  // A step that was under way when the user pressed stop must not move
  // the slider back from 0: a disabled slider no longer follows playback.
  // Nor does a slider the user holds: the release seeks to where it was
  // let go, not to where the steps had got to.
  Run([this, pos] {
    QSlider* slider = w_.PositionSlider();
    if (slider->isEnabled() && !slider->isSliderDown() && !w_.SliderReleasePending()) {
      slider->setValue(pos);
    }
  });
}

void ConnectionBridge::FillChannelList(const std::vector<std::string>& utf8Items, int selected) {
  std::vector<std::string> items;
  for (const std::string& item : utf8Items) items.push_back(WindowText(item.c_str()).toStdString());
  Run([this, items = std::move(items), selected] {
    if (SettingsDialog* d = w_.Settings()) d->FillChannelList(items, selected);
  });
}

void ConnectionBridge::AppendPlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
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

QWidget* ConnectionBridge::Find(UiWindow window, int id) const {
  switch (window) {
    case UiWindow::kControl:
      return w_.Control(id);
    case UiWindow::kSettings:
      return w_.Settings() ? w_.Settings()->Item(id) : nullptr;
    case UiWindow::kPlayback:
      return w_.Playback() ? w_.Playback()->Item(id) : nullptr;
  }
  return nullptr;
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
