/* snl_dlcycle LIBRARY CYCLES [reload]: a C host (no libstdc++ of its own to pin the library) loads
 * and unloads libsnl repeatedly, printing "cycle N: B boards, unloaded" (or "still loaded"). With
 * "reload", each cycle starts a configuration reload thread just before it unloads the library,
 * and lives on a while after: long enough for a thread left running to return into the unmapped
 * library. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Keeps a reload thread busy outside the library, to return into it after dlclose has begun. */
static void SlowCallback(void* context) {
  (void)context;
  usleep(1000000);
}

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && strcmp(argv[3], "reload") == 0)) return 2;
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
    if (argc == 4) {
      void (*reload)(void) =
          (void (*)(void))dlsym(lib, "_ZN6config15KConfigReloader14AsyncReloadAllEv");
      void* (*setCallback)(void (*)(void*), void*) = (void* (*)(void (*)(void*), void*))dlsym(
          lib, "_ZN6config15KConfigReloader17SetReloadCallbackEPFvPvES1_");
      if (reload == NULL || setCallback == NULL) return 2;
      setCallback(SlowCallback, NULL);
      /* A first reload, left to end, has the emulation's interposed libc calls look up their
       * targets (dlsym, which would wait for the loader lock that dlclose holds). */
      reload();
      usleep(1200000);
      reload(); /* still in the callback when the library is unloaded */
    }
    dlclose(lib);
    if (argc == 4) usleep(1200000);
    void* again = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
    printf("cycle %d: %d boards, %s\n", i, boards, again == NULL ? "unloaded" : "still loaded");
    fflush(stdout);
    if (again != NULL) dlclose(again);
  }
  return 0;
}
