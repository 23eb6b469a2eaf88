#include "viewer/recent_recorders.h"

#include <algorithm>

#include "platform/registry.h"

namespace zarvion::viewer {
namespace {

const std::string kRecentKey = std::string(kViewerKey) + "\\Recent";
const std::string kTabsKey = std::string(kViewerKey) + "\\Tabs";

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
  }
  return ok;
}

}  // namespace

QString Recorder::Label() const {
  return QString::fromStdString(host) + ':' + QString::number(port);
}

std::vector<Recorder> LoadRecent() {
  return LoadList(kRecentKey, kMaxRecent);
}

bool RememberRecorder(const Recorder& recorder) {
  std::vector<Recorder> list = LoadRecent();
  std::erase_if(list, [&](const Recorder& r) { return r.SameAddress(recorder); });
  list.insert(list.begin(), recorder);
  if (list.size() > kMaxRecent) list.resize(kMaxRecent);
  return SaveList(kRecentKey, list);
}

std::vector<Recorder> LoadOpenTabs() {
  return LoadList(kTabsKey, 64);
}

bool SaveOpenTabs(const std::vector<Recorder>& tabs) {
  return SaveList(kTabsKey, tabs);
}

}  // namespace zarvion::viewer
