// Puts a scriptable control on screen: the control window of a Zarvinet,
// created on its control object as the host's in-place activation would.
#pragma once

#include <memory>

#include "shell/zarvinet.h"
#include "window/control_window.h"

class QWidget;

namespace zarvion {

// The window lives until the returned object is destroyed; destroy it
// before the Zarvinet.
std::unique_ptr<ControlWindow> CreateControlWindow(Zarvinet& control, QWidget* parent,
                                                   ControlWindowOptions options = {});

}  // namespace zarvion
