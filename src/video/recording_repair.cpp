#include "video/recording_repair.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/unique_fd.h"

namespace zarvion {

namespace {

bool IsRecordingName(std::string_view name) {
  return name.size() > 13 && name.substr(0, 9) == "CLIENT_CH" &&
         name.substr(name.size() - 4) == ".avi";
}

// The folders under repair in this process.
std::mutex foldersLock;
std::set<std::string>& FoldersUnderRepair() {
  static std::set<std::string>* folders = new std::set<std::string>;
  return *folders;
}

}  // namespace

int RepairRecordings(const std::string& folder, const AviRepairOptions& options,
                     const RecordingRepairHook& hook) {
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) {
    // No folder yet is no failure: nothing has been recorded there.
    if (errno != ENOENT) {
      Log(LogCategory::kRecording, LogSeverity::kWarning, "repair: cannot open %s: %s",
          folder.c_str(), ErrnoText(errno).c_str());
    }
    return 0;
  }
  const int dirFd = dir.Get();
  std::vector<std::string> names;
  // The listing takes a copy of the descriptor, which closedir closes; the
  // folder's own stays open for the repairs.
  UniqueFd copy(::dup(dirFd));
  if (DIR* listing = copy.Valid() ? ::fdopendir(copy.Get()) : nullptr) {
    static_cast<void>(copy.Release());  // the listing owns it now
    while (const dirent* e = ::readdir(listing)) {
      if (IsRecordingName(e->d_name)) names.emplace_back(e->d_name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  RecordingRepairNote note;
  note.files = static_cast<int>(names.size());
  int repaired = 0;
  for (const std::string& name : names) {
    if (options.cancel && options.cancel->load()) break;
    AviRepairOptions each = options;
    ++note.index;
    note.name = name;
    if (hook) {
      each.progress = [&](uint64_t done, uint64_t total) {
        note.kind = RecordingRepairNote::Kind::kProgress;
        note.percent = total ? static_cast<int>(done * 100 / total) : 100;
        hook(note);
      };
    }
    note.result = RepairAviAt(dirFd, name, each);
    const AviRepair status = note.result.status;
    repaired += status == AviRepair::kRepaired || status == AviRepair::kCopied;
    const bool news = status != AviRepair::kIntact && status != AviRepair::kBusy;
    note.unrepaired += news && status != AviRepair::kRepaired && status != AviRepair::kCopied &&
                       status != AviRepair::kCopyExists;
    if (hook && news) {
      note.kind = RecordingRepairNote::Kind::kFile;
      hook(note);
    }
  }
  if (hook) {
    note.kind = RecordingRepairNote::Kind::kFinished;
    note.name.clear();
    note.result = {};
    note.repaired = repaired;
    hook(note);
  }
  return repaired;
}

RecordingRepair::RecordingRepair(std::string folder, RecordingRepairHook hook,
                                 AviRepairOptions options)
    : folder_(std::move(folder)), hook_(std::move(hook)), options_(std::move(options)) {
  options_.cancel = &cancel_;
}

RecordingRepair::~RecordingRepair() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
}

void RecordingRepair::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

void RecordingRepair::Run() {
  bool mine = false;
  {
    std::lock_guard<std::mutex> guard(foldersLock);
    mine = FoldersUnderRepair().insert(folder_).second;
  }
  if (mine) {
    RepairRecordings(folder_, options_, hook_);
    std::lock_guard<std::mutex> guard(foldersLock);
    FoldersUnderRepair().erase(folder_);
  }
  std::lock_guard<std::mutex> guard(lock_);
  finished_ = true;
  finishedChanged_.notify_all();
}

bool RecordingRepair::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return finishedChanged_.wait_for(guard, timeout, [this] { return finished_; });
}

}  // namespace zarvion
