// What the connection thread may do to the control window and its dialogs.
//
// The thread never touches a widget: the window implements this interface by
// running each call on the GUI thread and waiting for it, and gives up the
// wait when the stop event is set, so teardown can always join the thread.
// Tests implement it with a recorder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarvion {

// The window a control id belongs to (ids repeat between templates).
enum class UiWindow { kControl, kSettings, kPlayback };

class ControlUi {
 public:
  virtual ~ControlUi() = default;
  virtual void EnableControl(UiWindow window, int id, bool enable) = 0;
  // Local texts are UTF-8.
  virtual void SetControlText(UiWindow window, int id, const std::string& utf8) = 0;
  // The position slider 205 of the control window.
  virtual void SetSliderRange(int min, int max) = 0;
  virtual void SetSliderPos(int pos) = 0;
  // Empties combo 208 of the settings dialog, adds the items, selects one.
  virtual void FillChannelList(const std::vector<std::string>& utf8Items, int selected) = 0;
  // Appends a row to list 209 of the playback dialog. The texts are the GBK
  // bytes as received; the dialog converts them for display and hands the
  // location bytes back unchanged when the row is played.
  virtual void AppendPlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                                 const std::string& locationGbk) = 0;
  // Asks the window to show the server text (asynchronous, like a posted
  // message); the text is in the control object's szServerText.
  virtual void PostServerText() = 0;
  // The server changed the view away from `leftView` (dwDrawMode holds the
  // new one): the record and capture buttons are to match the view now
  // shown, and a recording of a channel no longer shown alone ends.
  virtual void ViewChanged(uint32_t leftView) = 0;
};

}  // namespace zarvion
