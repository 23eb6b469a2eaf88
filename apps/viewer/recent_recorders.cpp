#include "viewer/recent_recorders.h"

#include <algorithm>

#include "platform/registry.h"

namespace zarvion::viewer {
namespace {

const std::string kRecentKey = std::string(kViewerKey) + "\\Recent";
const std::string kTabsKey = std::string(kViewerKey) + "\\Tabs";
constexpr size_t kMaxTabs = 64;

// "szCamera1" ... "szCamera16": the name of channel c + 1.
std::string CameraValue(int c) {
  return "szCamera" + std::to_string(c + 1);
}

// One sub-key per entry, named by its position: "0", "1", ...
std::vector<Recorder> LoadList(const std::string& key, size_t limit) {
  std::vector<Recorder> list;
  for (size_t i = 0; list.size() < limit; ++i) {
    const std::string entry = key + "\\" + std::to_string(i);
    if (!RegKeyExists(Hive::kCurrentUser, entry)) break;
    Recorder r;
    uint32_t port = 0;
    if (!RegGetString(Hive::kCurrentUser, entry, "szHost", &r.host) ||
        !RegGetDword(Hive::kCurrentUser, entry, "dwPort", &port) || port > 0xFFFF) {
      continue;  // a damaged entry is skipped, not fatal
    }
    r.port = static_cast<uint16_t>(port);
    r.rememberLogin = RegGetString(Hive::kCurrentUser, entry, "szLoginPara", &r.login);
    // Entries stored before recorders had names have none of these.
    static_cast<void>(RegGetString(Hive::kCurrentUser, entry, "szName", &r.name));
    for (int c = 0; c < kMaxCameras; ++c) {
      static_cast<void>(RegGetString(Hive::kCurrentUser, entry, CameraValue(c),
                                     &r.cameras[static_cast<size_t>(c)]));
    }
    uint32_t captions = 0;
    r.cameraCaptions =
        RegGetDword(Hive::kCurrentUser, entry, "bCameraCaptions", &captions) && captions != 0;
    list.push_back(std::move(r));
  }
  return list;
}

bool SaveList(const std::string& key, const std::vector<Recorder>& list) {
  if (!RegDeleteKey(Hive::kCurrentUser, key)) return false;
  bool ok = RegCreateKey(Hive::kCurrentUser, key);
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string entry = key + "\\" + std::to_string(i);
    const Recorder& r = list[i];
    ok = RegSetString(Hive::kCurrentUser, entry, "szHost", r.host) && ok;
    ok = RegSetDword(Hive::kCurrentUser, entry, "dwPort", r.port) && ok;
    if (r.rememberLogin) {
      ok = RegSetString(Hive::kCurrentUser, entry, "szLoginPara", r.login) && ok;
    }
    // Only what was named: every value is a write of the whole hive.
    if (!r.name.empty()) ok = RegSetString(Hive::kCurrentUser, entry, "szName", r.name) && ok;
    for (int c = 0; c < kMaxCameras; ++c) {
      const std::string& camera = r.cameras[static_cast<size_t>(c)];
      if (!camera.empty()) {
        ok = RegSetString(Hive::kCurrentUser, entry, CameraValue(c), camera) && ok;
      }
    }
    if (r.cameraCaptions) {
      ok = RegSetDword(Hive::kCurrentUser, entry, "bCameraCaptions", 1) && ok;
    }
  }
  return ok;
}

}  // namespace

QString Recorder::Label() const {
  return QString::fromStdString(host) + ':' + QString::number(port);
}

QString Recorder::DisplayName() const {
  return name.empty() ? Label() : QString::fromStdString(name);
}

QString Recorder::MenuText() const {
  if (name.empty()) return Label();
  return QStringLiteral("%1 (%2)").arg(QString::fromStdString(name), Label());
}

void Recorder::TakeNames(const Recorder& other) {
  name = other.name;
  cameras = other.cameras;
  cameraCaptions = other.cameraCaptions;
}

std::vector<Recorder> LoadRecent() {
  return LoadList(kRecentKey, kMaxRecent);
}

bool RememberRecorder(const Recorder& recorder) {
  std::vector<Recorder> list = LoadRecent();
  Recorder first = recorder;
  const auto known = std::find_if(list.begin(), list.end(),
                                  [&](const Recorder& r) { return r.SameAddress(recorder); });
  first.TakeNames(known != list.end() ? *known : Recorder{});
  std::erase_if(list, [&](const Recorder& r) { return r.SameAddress(recorder); });
  list.insert(list.begin(), first);
  if (list.size() > kMaxRecent) list.resize(kMaxRecent);
  return SaveList(kRecentKey, list);
}

bool NameRecorder(const Recorder& named) {
  bool ok = true;
  for (const std::string* key : {&kRecentKey, &kTabsKey}) {
    std::vector<Recorder> list = LoadList(*key, *key == kRecentKey ? kMaxRecent : kMaxTabs);
    bool found = false;
    for (Recorder& r : list) {
      if (!r.SameAddress(named)) continue;
      r.TakeNames(named);
      found = true;
    }
    if (found) ok = SaveList(*key, list) && ok;
  }
  return ok;
}

std::vector<Recorder> LoadOpenTabs() {
  return LoadList(kTabsKey, kMaxTabs);
}

bool SaveOpenTabs(const std::vector<Recorder>& tabs) {
  return SaveList(kTabsKey, tabs);
}

}  // namespace zarvion::viewer
