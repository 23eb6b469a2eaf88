// The bridge from the connection thread to the control window: ControlUi,
// whose every call runs on the GUI thread and is waited for (the wait ends
// when the stop event is set) and turns what happened in the session into
// the widgets' states, and the recorder's notices, handed over without
// waiting and shown in one box.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include <QPointer>
#include <QString>

#include "net/control_ui.h"

class QWidget;

namespace zarvion {

class ControlWindow;
class GuiCalls;
class NoticeBox;

class ConnectionBridge : public ControlUi {
 public:
  // Shows a server text; see ControlWindowOptions::showWarning.
  using ShowWarning = std::function<void(const QString& caption, const QString& text)>;

  // `viewChanged` runs on the GUI thread with the view that was left.
  ConnectionBridge(ControlWindow& window, GuiCalls& calls,
                   std::function<void(uint32_t)> viewChanged, ShowWarning showWarning);
  ~ConnectionBridge() override;
  ConnectionBridge(const ConnectionBridge&) = delete;
  ConnectionBridge& operator=(const ConnectionBridge&) = delete;

  // ControlUi, for the connection thread.
  void SessionStarted(uint32_t flags, uint32_t channels) override;
  void PlaybackStarted(uint32_t steps) override;
  void PlaybackPosition(uint32_t position) override;
  void PlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                   const std::string& locationGbk) override;
  void PostServerText() override;
  void ViewChanged(uint32_t leftView) override;

  // GUI thread, at teardown: the notice box goes with the control that
  // showed it.
  void CloseNotice();

 private:
  void Run(std::function<void()> fn);
  // GUI thread: moves the position slider to a step the playback reached,
  // unless it no longer follows the playback.
  void FollowPlayback(uint32_t position);
  // GUI thread: shows the latest notice handed over.
  void ShowPendingNotice();
  // Shows a notice of the recorder at `from` ("a.b.c.d:port", or empty).
  void ShowServerText(const QString& from, const QString& text);

  ControlWindow& w_;
  GuiCalls& calls_;
  const std::function<void(uint32_t)> viewChanged_;
  const ShowWarning showWarning_;

  // Owned by the GUI thread: the server text box, at most one, showing the
  // latest notice.
  QPointer<NoticeBox> noticeBox_;

  // Protected by noticeLock_: the notice handed over by the connection
  // thread, not yet shown.
  std::mutex noticeLock_;
  QString pendingNotice_;
  QString pendingNoticeFrom_;  // the recorder's address
  bool noticePosted_ = false;  // a call to show it is queued
};

}  // namespace zarvion
