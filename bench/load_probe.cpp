// Loads the shared library named on the command line with dlopen and prints how long that took,
// in seconds. A fresh process each time, so the whole load (relocation, static initialisers,
// discovery) is measured and nothing was loaded before.
#include <dlfcn.h>
#include <time.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: load_probe LIBRARY\n");
    return 2;
  }
  timespec t0{}, t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  if (lib == nullptr) {
    std::fprintf(stderr, "load_probe: %s\n", dlerror());
    return 1;
  }
  std::printf("%.9f\n", static_cast<double>(t1.tv_sec - t0.tv_sec) +
                            static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9);
  return 0;
}
