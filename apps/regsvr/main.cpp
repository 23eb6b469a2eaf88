// zarvion-regsvr [-u] PATH: loads a control library and calls its
// registration export (DllRegisterServer, or DllUnregisterServer with -u),
// printing one line with the result. Exit status: 0 success, 1 the export
// failed, 2 bad usage or a file that is missing, no library or lacks the
// export.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "zarvion_version.h"

namespace {

using RegistrationEntry = int32_t (*)();

int Usage() {
  std::fprintf(stderr, "usage: zarvion-regsvr [-u] PATH | --version\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* path = nullptr;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("zarvion-regsvr %s\n", ZARVION_VERSION);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0 && !unregister && !path) {
      unregister = true;
    } else if (!path && argv[i][0] != '\0') {
      path = argv[i];
    } else {
      return Usage();
    }
  }
  if (!path) return Usage();
  const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";

  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::printf("zarvion-regsvr: %s: no such file\n", path);
    return 2;
  }
  // A name without a slash would make dlopen search the library path.
  std::string file = std::strchr(path, '/') ? path : std::string("./") + path;
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = ::dlerror();
    std::printf("zarvion-regsvr: %s: cannot be loaded: %s\n", path, why ? why : "unknown error");
    return 2;
  }
  auto entry = reinterpret_cast<RegistrationEntry>(::dlsym(library, entryName));
  if (!entry) {
    std::printf("zarvion-regsvr: %s: the library has no %s\n", path, entryName);
    ::dlclose(library);
    return 2;
  }
  const int32_t hr = entry();
  if (hr >= 0) {
    std::printf("zarvion-regsvr: %s in %s succeeded\n", entryName, path);
  } else {
    std::printf("zarvion-regsvr: %s in %s failed: 0x%08X\n", entryName, path,
                static_cast<uint32_t>(hr));
  }
  // The library stays loaded: unloading a library that started threads or
  // registered types is not safe, and the process ends now anyway.
  return hr >= 0 ? 0 : 1;
}
