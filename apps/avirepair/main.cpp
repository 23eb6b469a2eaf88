// zarvion-avi-repair FILE...
//
// Rebuilds the index of recordings that a crash, a kill or a power cut left
// without one, so that players see the key frames again and can seek. A file
// whose frames run whole to its end gets its index appended; a damaged one is
// left as it is and its whole frames go into "<name>.repaired.avi" beside
// it. Files that have their index are left alone, and so are a recording
// still being written, symbolic links, other users' files and anything this
// viewer did not write. Exit status 0 when every file is now indexed (itself
// or in its repaired copy).
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/avi_repair.h"
#include "zarvion_version.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zarvion-avi-repair FILE... | --version\n");
    return 2;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("zarvion-avi-repair %s\n", ZARVION_VERSION);
    return 0;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const zarvion::AviRepairResult r = zarvion::RepairAvi(argv[i], zarvion::AviRepairOptions{});
    std::string what;
    switch (r.status) {
      case zarvion::AviRepair::kIntact:
        what = "intact";
        break;
      case zarvion::AviRepair::kRepaired:
        what = "repaired";
        break;
      case zarvion::AviRepair::kCopied:
        what = "damaged, left as it is; " + std::to_string(r.frames) + " whole frames copied to " +
               r.copy;
        break;
      case zarvion::AviRepair::kCopyExists:
        what = "damaged, left as it is; repaired before as " + r.copy;
        break;
      case zarvion::AviRepair::kBusy:
        what = "still being written, left alone";
        status = 1;
        break;
      case zarvion::AviRepair::kNotOurs:
        what = "left alone: " + r.why;
        status = 1;
        break;
      case zarvion::AviRepair::kNoFrames:
      case zarvion::AviRepair::kSkipped:
      case zarvion::AviRepair::kFailed:
        what = "left as it is: " + r.why;
        status = 1;
        break;
    }
    std::printf("%s: %s\n", argv[i], what.c_str());
  }
  return status;
}
