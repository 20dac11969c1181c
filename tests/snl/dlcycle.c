/* snl_dlcycle LIBRARY CYCLES: a C host (no libstdc++ of its own to pin the library) loads and
 * unloads libsnl repeatedly, printing "cycle N: B boards, unloaded" (or "still loaded"). */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  /* libusb-0.1 cannot free its device lists: keep it resident so that they stay reachable. */
  dlopen("libusb-0.1.so.4", RTLD_NOW | RTLD_NODELETE);
  const int cycles = atoi(argv[2]);
  for (int i = 1; i <= cycles; ++i) {
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
      fprintf(stderr, "%s\n", dlerror());
      return 2;
    }
    int (*count)(void) = (int (*)(void))dlsym(lib, "snlDevCount");
    if (count == NULL) return 2;
    const int boards = count();
    dlclose(lib);
    void* again = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
    printf("cycle %d: %d boards, %s\n", i, boards, again == NULL ? "unloaded" : "still loaded");
    fflush(stdout);
    if (again != NULL) dlclose(again);
  }
  return 0;
}
