// Helpers of the window and UI tests: polling waits that keep the GUI
// thread's event loop running, and the private home every test runs in.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <QCoreApplication>
#include <QThread>

namespace zarvion::testing {

// How much longer a whole-program test allows when every thread runs under
// ThreadSanitizer, which slows the encoder and decoder several times over.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 4;
#else
inline constexpr int kSlowdown = 1;
#endif

// Runs the event loop until `done` holds or `timeoutMs` passes.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

// Runs the event loop for a while.
inline void Pump(int ms) {
  WaitUntil([] { return false; }, ms);
}

// The HOME of this test process (a fresh temporary folder); the registry
// hives live in its "registry" folder.
std::string TestHome();

}  // namespace zarvion::testing
