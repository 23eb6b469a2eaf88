// relative_load_child LOADFOLDER THENFOLDER: loads ./libzarvion.so from
// LOADFOLDER by that relative name, moves to THENFOLDER and registers the
// control there. Prints the registration's result; exits 0 when it ran.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3 || ::chdir(argv[1]) != 0) return 2;
  void* lib = ::dlopen("./libzarvion.so", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", ::dlerror());
    return 2;
  }
  auto registerServer = reinterpret_cast<int32_t (*)()>(::dlsym(lib, "DllRegisterServer"));
  if (!registerServer || ::chdir(argv[2]) != 0) return 2;
  std::printf("%08X\n", static_cast<uint32_t>(registerServer()));
  return 0;
}
