// snlprobe: loads a libsnl.so and runs exported calls on it, printing each result.
//
//   snlprobe LIBRARY [CALL...]
//
// CALL is one of: count, serial:I, links:I, start:I, stop:I, ping:I, status:I,
// configure:I:TIME:LINKS, debug:FLAG, report (count, then serial, links and status of every
// board), sleep:MS, await:PATH (until the file exists), unload. The load time is printed first
// ("load_ms=..."), each result as soon as it is known. Exit status 0, or 2 when the library or
// one of its functions cannot be found.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Snl {
  int (*count)();
  int (*serial)(int);
  int (*links)(int);
  int (*start)(int);
  int (*stop)(int);
  int (*ping)(int);
  int (*status)(int);
  int (*configure)(int, unsigned char, unsigned char);
  void (*debug)(unsigned char);
};

template <typename F>
bool Bind(void* lib, F& fn, const char* name) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
  if (fn == nullptr) fprintf(stderr, "snlprobe: %s not found\n", name);
  return fn != nullptr;
}

std::vector<int> Numbers(const std::string& call) {
  std::vector<int> out;
  std::string::size_type pos = call.find(':');
  while (pos != std::string::npos) {
    out.push_back(atoi(call.c_str() + pos + 1));
    pos = call.find(':', pos + 1);
  }
  return out;
}

void Run(const Snl& snl, const std::string& call) {
  const std::string name = call.substr(0, call.find(':'));
  std::vector<int> n = Numbers(call);
  n.resize(3, 0);
  int result = 0;
  if (name == "count") result = snl.count();
  else if (name == "serial") result = snl.serial(n[0]);
  else if (name == "links") result = snl.links(n[0]);
  else if (name == "start") result = snl.start(n[0]);
  else if (name == "stop") result = snl.stop(n[0]);
  else if (name == "ping") result = snl.ping(n[0]);
  else if (name == "status") result = snl.status(n[0]);
  else if (name == "configure")
    result = snl.configure(n[0], static_cast<unsigned char>(n[1]), static_cast<unsigned char>(n[2]));
  else if (name == "debug") {
    snl.debug(static_cast<unsigned char>(n[0]));
    printf("%s\n", call.c_str());
    return;
  } else if (name == "report") {
    const int boards = snl.count();
    printf("boards: %d\n", boards);
    for (int i = 0; i < boards; ++i)
      printf("board %d: serial %d, links %d, status %d\n", i, snl.serial(i), snl.links(i),
             snl.status(i));
    return;
  } else if (name == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(n[0]));
    result = n[0];
  } else if (name == "await") {  // until the file after the colon exists (at most a minute)
    const std::string path = call.substr(call.find(':') + 1);
    for (int i = 0; i < 6000 && access(path.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    printf("await\n");
    return;
  } else {
    printf("%s=unknown\n", call.c_str());
    return;
  }
  printf("%s=%d\n", call.c_str(), result);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: snlprobe LIBRARY [CALL...]\n");
    return 2;
  }
  // libusb-0.1 has no call that frees its bus and device lists. Keep it resident, so that
  // unloading libsnl (and with it the last user of libusb) leaves those lists reachable rather
  // than orphaned.
  dlopen("libusb-0.1.so.4", RTLD_NOW | RTLD_NODELETE);
  auto start = std::chrono::steady_clock::now();
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  auto loaded = std::chrono::steady_clock::now();
  if (lib == nullptr) {
    fprintf(stderr, "snlprobe: %s\n", dlerror());
    return 2;
  }
  printf("load_ms=%lld\n", static_cast<long long>(
                               std::chrono::duration_cast<std::chrono::milliseconds>(loaded - start)
                                   .count()));
  Snl snl{};
  if (!Bind(lib, snl.count, "snlDevCount") || !Bind(lib, snl.serial, "snlDevSerial") ||
      !Bind(lib, snl.links, "snlDevLinks") || !Bind(lib, snl.start, "snlStartWatch") ||
      !Bind(lib, snl.stop, "snlStopWatch") || !Bind(lib, snl.ping, "snlPingWatch") ||
      !Bind(lib, snl.status, "snlStatus") || !Bind(lib, snl.configure, "snlConfigure") ||
      !Bind(lib, snl.debug, "snlDebugLog"))
    return 2;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "unload") {
      printf("unload=%d\n", dlclose(lib));
      lib = nullptr;
      break;
    }
    Run(snl, argv[i]);
    fflush(stdout);
  }
  fflush(stdout);
  if (lib != nullptr) dlclose(lib);
  return 0;
}
