#include "net/control_object.h"

namespace zarvion {

void EnsureEvents(ControlObject& obj) {
  if (obj.hConnectEvent) return;
  obj.hConnectEvent = std::make_unique<Event>();
  obj.hStopEvent = std::make_unique<Event>();
  obj.hIoEvent = std::make_unique<Event>();
}

}  // namespace zarvion
