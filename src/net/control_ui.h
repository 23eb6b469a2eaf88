// What the connection thread tells the control window: what happened in the
// session, never which widget to change or what text to show. The window
// maps each call onto its own widgets and dialogs.
//
// The thread never touches a widget: the window implements this interface by
// running each call on the GUI thread and waiting for it, and gives up the
// wait when the stop event is set, so teardown can always join the thread.
// Tests implement it with a recorder.
#pragma once

#include <cstdint>
#include <string>

namespace zarvion {

class ControlUi {
 public:
  virtual ~ControlUi() = default;
  // The recorder answered the session query: its SessionInfo flags
  // (kFlagPlayback, kFlagPictureSettings) and channel count (at most 16).
  // Called before the picture settings are asked for.
  virtual void SessionStarted(uint32_t flags, uint32_t channels) = 0;
  // PlaybackInfo: a recording of `steps` steps is played from step 0.
  virtual void PlaybackStarted(uint32_t steps) = 0;
  // The playback has asked for every step before `position`.
  virtual void PlaybackPosition(uint32_t position) = 0;
  // One recording the recorder offers for playback. The texts are the GBK
  // bytes as received; the location bytes go back unchanged when the row is
  // played.
  virtual void PlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                           const std::string& locationGbk) = 0;
  // Asks the window to show the server text (asynchronous, like a posted
  // message); the text is in the control object's szServerText.
  virtual void PostServerText() = 0;
  // The view changed away from `leftView` (dwDrawMode holds the new one):
  // the buttons are to match the view now shown, and a recording of a
  // channel no longer shown alone ends.
  virtual void ViewChanged(uint32_t leftView) = 0;
};

}  // namespace zarvion
