// Fuzz target: the registry hive reader on a damaged or hand-edited hive
// file, then a write through it, which must keep what it writes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry.h"

using namespace zarvion;

namespace {
std::string folder;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/zarvion-fuzz-registry-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  folder = pattern;
  setenv("ZARVION_REGISTRY_DIR", pattern, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string hive = HiveFilePath(Hive::kCurrentUser);
  if (FILE* f = std::fopen(hive.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  const char* key = "SoftWare\\Holmvard\\Zarvion";
  char buffer[260];
  uint32_t n = sizeof buffer;
  // Whatever the file holds, a read that succeeds fits its buffer.
  if (RegGetValue(Hive::kCurrentUser, key, "szDefaultCapDir", REG_SZ, buffer, &n) &&
      n > sizeof buffer) {
    std::abort();
  }
  uint32_t mode = 0;
  static_cast<void>(RegGetDword(Hive::kCurrentUser, key, "dwDefaultDrawMode", &mode));
  for (const std::string& sub : RegEnumSubKeys(Hive::kCurrentUser, "SoftWare")) {
    RegEnumValues(Hive::kCurrentUser, "SoftWare\\" + sub);
  }
  // A value written into whatever was there reads back exactly.
  const char text[] = "\xc4\xac\xc8\xcf \"quoted\\\" text";
  if (RegSetValue(Hive::kCurrentUser, key, "szFuzz", REG_SZ, text, sizeof text)) {
    n = sizeof buffer;
    if (!RegGetValue(Hive::kCurrentUser, key, "szFuzz", REG_SZ, buffer, &n) || n != sizeof text ||
        std::memcmp(buffer, text, n) != 0) {
      std::abort();
    }
  }
  return 0;
}
