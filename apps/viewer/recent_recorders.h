// The recorders the viewer remembers, in the per-user hive under its own
// key (never the control's): the last ten used, most recent first, and the
// tabs that were open. A login parameter may carry a password, so it is
// stored only for a recorder whose user asked for it. Each entry keeps the
// names the operator gave the recorder and its cameras, and each camera's
// motion settings.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <QString>

#include "view/motion_board.h"

namespace zarvion::viewer {

inline constexpr const char* kViewerKey = "SoftWare\\Holmvard\\ZarvionViewer";
inline constexpr size_t kMaxRecent = 10;
inline constexpr int kMaxCameras = 16;

// How the operator set up motion on one camera.
struct CameraMotion {
  bool enabled = true;    // detection on
  bool recording = true;  // "移动侦测录像": an event records its channel
  int sensitivity = kMotionSensitivityDefault;
  MotionMask mask{};   // blocks the detector ignores
  bool alarm = false;  // the camera's motion events are alarms

  bool operator==(const CameraMotion&) const = default;
};
using CameraMotions = std::array<CameraMotion, kMaxCameras>;

struct Recorder {
  std::string host;  // dotted IPv4 text
  uint16_t port = 0;
  std::string login;  // UTF-8
  bool rememberLogin = false;
  // What the operator calls the recorder and its cameras (channel k at
  // k - 1), UTF-8; empty where unnamed. With cameraCaptions the panes'
  // captions show the cameras' names in place of "CH k".
  std::string name;
  std::array<std::string, kMaxCameras> cameras;
  bool cameraCaptions = false;
  // Each camera's motion settings (channel k at k - 1).
  CameraMotions motion{};

  // "host:port", how the viewer names a recorder.
  QString Label() const;
  // The operator's name for it, else Label().
  QString DisplayName() const;
  // "name (host:port)" when named, else Label(): a menu entry.
  QString MenuText() const;
  // The names, and the choice of captions, of `other` taken over.
  void TakeNames(const Recorder& other);
  // The cameras' motion settings of `other` taken over.
  void TakeMotion(const Recorder& other) { motion = other.motion; }
  bool SameAddress(const Recorder& other) const { return host == other.host && port == other.port; }
};

// Most recent first; at most kMaxRecent.
std::vector<Recorder> LoadRecent();
// Puts the recorder first in the list (replacing an entry of the same
// address) and drops the oldest beyond kMaxRecent. The names and the
// cameras' motion settings stay those the list had for the address: only
// NameRecorder and KeepCameraMotion change them.
bool RememberRecorder(const Recorder& recorder);
// Gives the entries of `named`'s address, in the recent list and among the
// open tabs, its names; their address, login and order stay as they are.
bool NameRecorder(const Recorder& named);
// The same for the cameras' motion settings of `set`.
bool KeepCameraMotion(const Recorder& set);

std::vector<Recorder> LoadOpenTabs();
bool SaveOpenTabs(const std::vector<Recorder>& tabs);

}  // namespace zarvion::viewer
