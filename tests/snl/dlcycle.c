/* snl_dlcycle LIBRARY CYCLES [reload|fork]: a C host (no libstdc++ of its own to pin the library)
 * loads and unloads libsnl repeatedly, printing "cycle N: B boards, unloaded" (or "still loaded").
 * With "reload", each cycle starts a configuration reload thread just before it unloads the
 * library, and lives on a while after: long enough for a thread left running to return into the
 * unmapped library. With "fork", each cycle adds an at-fork handler through the library and forks
 * before and after the unload, printing "fork: loaded H, unloaded H" with the number of child
 * handlers each child ran (a fork into the unloaded library's handlers would crash). */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int g_childHandlers;
static void CountChild(void* context) {
  (void)context;
  ++g_childHandlers;
}

/* Forks; the child exits with the number of child handlers it ran. That number, or -1. */
static int ForkedHandlers(void) {
  g_childHandlers = 0;
  pid_t pid = fork();
  if (pid == 0) _exit(g_childHandlers);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

/* Keeps a reload thread busy outside the library, to return into it after dlclose has begun. */
static void SlowCallback(void* context) {
  (void)context;
  usleep(1000000);
}

int main(int argc, char** argv) {
  const int forking = argc == 4 && strcmp(argv[3], "fork") == 0;
  if (argc != 3 && !(argc == 4 && (forking || strcmp(argv[3], "reload") == 0))) return 2;
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
    int forkedLoaded = 0;
    if (forking) {
      typedef void (*Handler)(void*);
      unsigned long (*add)(Handler, Handler, Handler, void*) =
          (unsigned long (*)(Handler, Handler, Handler, void*))dlsym(
              lib, "_ZN6dodudo7KAtFork8RegisterEPFvPvES3_S3_S1_");
      if (add == NULL || add(NULL, NULL, CountChild, NULL) == 0) return 2;
      forkedLoaded = ForkedHandlers();
    } else if (argc == 4) {
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
    if (forking) printf("fork: loaded %d, unloaded %d\n", forkedLoaded, ForkedHandlers());
    else if (argc == 4) usleep(1200000);
    void* again = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
    printf("cycle %d: %d boards, %s\n", i, boards, again == NULL ? "unloaded" : "still loaded");
    fflush(stdout);
    if (again != NULL) dlclose(again);
  }
  return 0;
}
