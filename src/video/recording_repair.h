// The repair of the record folder's recordings (RepairAvi), on a thread of
// its own so that nothing waits for it: the control starts it at set-up and
// shows its progress through a hook.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/avi_repair.h"

namespace zarvion {

// What the repair of a folder is doing or did.
struct RecordingRepairNote {
  enum class Kind {
    kProgress,  // `name` is being read or copied; `percent` of it done
    kFile,      // `name` is done with `result` (only files that were not intact)
    kFinished,  // the folder is done: `repaired` files repaired or copied, `unrepaired`
                // reported and left as they were
  };
  Kind kind = Kind::kProgress;
  std::string name;
  int index = 0;  // of `name`, from 1, among `files`
  int files = 0;  // recordings in the folder
  int percent = 0;
  AviRepairResult result;
  int repaired = 0;
  int unrepaired = 0;
};

using RecordingRepairHook = std::function<void(const RecordingRepairNote&)>;

// Repairs every recording ("CLIENT_CH*.avi") in `folder` itself, in name
// order; recordings being written elsewhere are left alone. Returns how
// many were repaired in place or copied. `hook`, when given, hears of each.
int RepairRecordings(const std::string& folder, const AviRepairOptions& options = {},
                     const RecordingRepairHook& hook = {});

// RepairRecordings on a thread. Within a process one folder is repaired by
// one at a time: a second started on a folder under repair finishes at once.
class RecordingRepair {
 public:
  RecordingRepair(std::string folder, RecordingRepairHook hook, AviRepairOptions options = {});
  // Stops the repair at its next piece read (the file then stays as it
  // was) and waits for the thread.
  ~RecordingRepair();
  RecordingRepair(const RecordingRepair&) = delete;
  RecordingRepair& operator=(const RecordingRepair&) = delete;

  void Start();
  // Waits until the repair is over, at most `timeout`; true when it is.
  [[nodiscard]] bool WaitFinished(std::chrono::milliseconds timeout);

 private:
  void Run();

  std::string folder_;
  RecordingRepairHook hook_;
  AviRepairOptions options_;
  std::atomic<bool> cancel_{false};
  std::mutex lock_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace zarvion
