// The recorders the viewer remembers, in the per-user hive under its own
// key (never the control's): the last ten used, most recent first, and the
// tabs that were open. A login parameter may carry a password, so it is
// stored only for a recorder whose user asked for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QString>

namespace zarvion::viewer {

inline constexpr const char* kViewerKey = "SoftWare\\Holmvard\\ZarvionViewer";
inline constexpr size_t kMaxRecent = 10;

struct Recorder {
  std::string host;  // dotted IPv4 text
  uint16_t port = 0;
  std::string login;  // UTF-8
  bool rememberLogin = false;

  // "host:port", how the viewer names a recorder.
  QString Label() const;
  bool SameAddress(const Recorder& other) const { return host == other.host && port == other.port; }
};

// Most recent first; at most kMaxRecent.
std::vector<Recorder> LoadRecent();
// Puts the recorder first in the list (replacing an entry of the same
// address) and drops the oldest beyond kMaxRecent.
bool RememberRecorder(const Recorder& recorder);

std::vector<Recorder> LoadOpenTabs();
bool SaveOpenTabs(const std::vector<Recorder>& tabs);

}  // namespace zarvion::viewer
