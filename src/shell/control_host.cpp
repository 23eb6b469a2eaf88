#include "shell/control_host.h"

namespace zarvion {

std::unique_ptr<ControlWindow> CreateControlWindow(Zarvinet& control, QWidget* parent,
                                                   ControlWindowOptions options) {
  return std::make_unique<ControlWindow>(control.Object(), parent, std::move(options));
}

}  // namespace zarvion
