// zarvion-avi-repair FILE...
//
// Rebuilds the index of recordings that a crash, a kill or a power cut left
// without one, so that players see the key frames again and can seek. Files
// that have their index are left alone, and so is a recording still being
// written. Exit status 0 when every file is now indexed.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/avi_file.h"
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
    const char* what = "";
    switch (zarvion::RepairAvi(argv[i])) {
      case zarvion::AviRepair::kIntact:
        what = "intact";
        break;
      case zarvion::AviRepair::kRepaired:
        what = "repaired";
        break;
      case zarvion::AviRepair::kBusy:
        what = "still being written, left alone";
        status = 1;
        break;
      case zarvion::AviRepair::kNotOurs:
        what = "not a recording this viewer wrote, left alone";
        status = 1;
        break;
    }
    std::printf("%s: %s\n", argv[i], what);
  }
  return status;
}
