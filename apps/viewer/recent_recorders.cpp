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

// The mask as 64 hex digits, a row's word after another (top row first).
std::string MaskText(const MotionMask& mask) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint16_t word : mask) {
    for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(word >> shift) & 0xF];
  }
  return text;
}

bool ParseMask(const std::string& text, MotionMask* mask) {
  if (text.size() != mask->size() * 4) return false;
  MotionMask parsed{};
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    parsed[i / 4] = static_cast<uint16_t>(parsed[i / 4] << 4 | digit);
  }
  *mask = parsed;
  return true;
}

// A camera's motion values, each only when it differs from the default
// (every value is a write of the whole hive); "bMotionOff3" is camera 3's.
std::string MotionValue(const char* what, int c) {
  return what + std::to_string(c + 1);
}

void LoadMotion(const std::string& entry, CameraMotions* motion) {
  for (int c = 0; c < kMaxCameras; ++c) {
    CameraMotion& m = (*motion)[static_cast<size_t>(c)];
    uint32_t v = 0;
    if (RegGetDword(Hive::kCurrentUser, entry, MotionValue("bMotionOff", c), &v)) m.enabled = !v;
    if (RegGetDword(Hive::kCurrentUser, entry, MotionValue("bMotionRecordingOff", c), &v)) {
      m.recording = !v;
    }
    if (RegGetDword(Hive::kCurrentUser, entry, MotionValue("dwMotionSensitivity", c), &v) &&
        v >= kMotionSensitivityMin && v <= kMotionSensitivityMax) {
      m.sensitivity = static_cast<int>(v);
    }
    std::string mask;
    if (RegGetString(Hive::kCurrentUser, entry, MotionValue("szMotionMask", c), &mask)) {
      static_cast<void>(ParseMask(mask, &m.mask));  // a damaged mask is no mask
    }
    if (RegGetDword(Hive::kCurrentUser, entry, MotionValue("bMotionAlarm", c), &v)) m.alarm = v;
  }
}

bool SaveMotion(const std::string& entry, const CameraMotions& motion) {
  bool ok = true;
  const auto set = [&](const char* what, int c, uint32_t v) {
    ok = RegSetDword(Hive::kCurrentUser, entry, MotionValue(what, c), v) && ok;
  };
  for (int c = 0; c < kMaxCameras; ++c) {
    const CameraMotion& m = motion[static_cast<size_t>(c)];
    if (!m.enabled) set("bMotionOff", c, 1);
    if (!m.recording) set("bMotionRecordingOff", c, 1);
    if (m.sensitivity != kMotionSensitivityDefault) {
      set("dwMotionSensitivity", c, static_cast<uint32_t>(m.sensitivity));
    }
    if (m.mask != MotionMask{}) {
      ok = RegSetString(Hive::kCurrentUser, entry, MotionValue("szMotionMask", c),
                        MaskText(m.mask)) &&
           ok;
    }
    if (m.alarm) set("bMotionAlarm", c, 1);
  }
  return ok;
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
    LoadMotion(entry, &r.motion);
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
    ok = SaveMotion(entry, r.motion) && ok;
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
  first.TakeMotion(known != list.end() ? *known : Recorder{});
  std::erase_if(list, [&](const Recorder& r) { return r.SameAddress(recorder); });
  list.insert(list.begin(), first);
  if (list.size() > kMaxRecent) list.resize(kMaxRecent);
  return SaveList(kRecentKey, list);
}

namespace {

// Gives the entries of `from`'s address, in both lists, what `take` takes.
template <typename Take>
bool UpdateEntries(const Recorder& from, Take take) {
  bool ok = true;
  for (const std::string* key : {&kRecentKey, &kTabsKey}) {
    std::vector<Recorder> list = LoadList(*key, *key == kRecentKey ? kMaxRecent : kMaxTabs);
    bool found = false;
    for (Recorder& r : list) {
      if (!r.SameAddress(from)) continue;
      take(r);
      found = true;
    }
    if (found) ok = SaveList(*key, list) && ok;
  }
  return ok;
}

}  // namespace

bool NameRecorder(const Recorder& named) {
  return UpdateEntries(named, [&](Recorder& r) { r.TakeNames(named); });
}

bool KeepCameraMotion(const Recorder& set) {
  return UpdateEntries(set, [&](Recorder& r) { r.TakeMotion(set); });
}

std::vector<Recorder> LoadOpenTabs() {
  return LoadList(kTabsKey, kMaxTabs);
}

bool SaveOpenTabs(const std::vector<Recorder>& tabs) {
  return SaveList(kTabsKey, tabs);
}

}  // namespace zarvion::viewer
