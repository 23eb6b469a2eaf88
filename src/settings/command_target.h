// The receiver of the dialogs' notifications (the control window).
//
// A notification is delivered synchronously: the target has finished with
// it before the dialog goes on. wParam carries the notification code in its
// high word and, for NC_VIDEOPARAM, the channel index in its low word.
#pragma once

#include <cstdint>

namespace zarvion {

// lParam: address of a NUL-terminated GBK file location, valid only during
// the call.
constexpr uint32_t NC_PLAYFILE = 0x438;
// lParam: the DrawMode chosen in the settings dialog.
constexpr uint32_t NC_DRAWMODE = 0x439;
// lParam: the channel list index now selected (0 = all channels).
constexpr uint32_t NC_SELCHANNEL = 0x43A;
// Low word: the channel list index; lParam: the packed VideoParams word.
constexpr uint32_t NC_VIDEOPARAM = 0x43B;

constexpr uint32_t MakeWParam(uint32_t code, uint32_t low) {
  return (code << 16) | (low & 0xFFFF);
}

class CommandTarget {
 public:
  virtual ~CommandTarget() = default;
  virtual void OnCommand(uint32_t wParam, intptr_t lParam) = 0;
};

}  // namespace zarvion
