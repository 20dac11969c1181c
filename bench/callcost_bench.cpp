// What one exported command costs inside libsnl: snlStatus and snlPingWatch against a board whose
// transfers answer at once (InstantUsb), with the debug lines off and on, beside the floor of the
// same transfer called directly under a plain mutex. Also the time to load libsnl.so in a fresh
// process with no board. Run through bench/run.sh: loading the library and the debug lines write
// log files, which must land in a private /var/log.
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include <benchmark/benchmark.h>

#include "InstantUsb.h"
#include "snl/snl.h"

namespace {

constexpr int kStatusRequest = 0x66;
constexpr unsigned long kTmpfsMagic = 0x01021994;

void Floor_ControlMsgUnderMutex(benchmark::State& state) {
  std::mutex lock;
  usb_dev_handle* handle = snlbench::InstantBoardHandle();
  char byte = 0;
  for (auto _ : state) {
    std::lock_guard<std::mutex> guard(lock);
    benchmark::DoNotOptimize(usb_control_msg(handle, 0xC0, kStatusRequest, 0, 0, &byte, 1, 500));
  }
}
BENCHMARK(Floor_ControlMsgUnderMutex);

void SnlStatus(benchmark::State& state) {
  snlDebugLog(static_cast<unsigned char>(state.range(0)));
  if (snlStatus(0) != 0) state.SkipWithError("the instant board was not adopted");
  for (auto _ : state) benchmark::DoNotOptimize(snlStatus(0));
  snlDebugLog(0);
}
BENCHMARK(SnlStatus)->ArgName("debug")->Arg(0)->Arg(1);

void SnlPingWatch(benchmark::State& state) {
  snlDebugLog(static_cast<unsigned char>(state.range(0)));
  if (snlPingWatch(0) != 0) state.SkipWithError("the instant board was not adopted");
  for (auto _ : state) benchmark::DoNotOptimize(snlPingWatch(0));
  snlDebugLog(0);
}
BENCHMARK(SnlPingWatch)->ArgName("debug")->Arg(0)->Arg(1);

// Runs the load probe (a fresh process that only dlopens libsnl.so with the real libusb and no
// board) and takes the time it measured around dlopen.
void LoadLibraryNoBoard(benchmark::State& state) {
  for (auto _ : state) {
    FILE* probe = popen(SNL_LOAD_PROBE " " SNL_SHARED_LIBRARY, "r");
    double seconds = -1;
    if (probe == nullptr || std::fscanf(probe, "%lf", &seconds) != 1) seconds = -1;
    int status = probe ? pclose(probe) : -1;
    if (seconds < 0 || status != 0) {
      state.SkipWithError("the load probe failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(LoadLibraryNoBoard)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(40);

// Console output as usual, plus each command's time as a multiple of the floor.
// CPU time, not wall time: on a shared machine the wall time of a 20 ns call mostly measures
// the other processes.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration)
        ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();  // in the run's time unit: ns here
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    auto floor = ns_.find("Floor_ControlMsgUnderMutex");
    if (floor == ns_.end() || floor->second <= 0) return;
    std::printf("\nCPU cost of one exported command, as a multiple of the floor (%.1f ns):\n",
                floor->second);
    for (const auto& [name, ns] : ns_)
      if (name.rfind("Snl", 0) == 0)
        std::printf("  %-26s %10.1f ns  %8.1fx\n", name.c_str(), ns, ns / floor->second);
  }

 private:
  std::map<std::string, double> ns_;
};

bool LogDirIsPrivate() {
  struct statfs fs {};
  return statfs("/var/log", &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kTmpfsMagic;
}

}  // namespace

int main(int argc, char** argv) {
  if (!LogDirIsPrivate()) {
    std::fprintf(stderr, "refusing to run: /var/log is not a private tmpfs; use bench/run.sh\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                               : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
