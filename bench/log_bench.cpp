// Lines per second of the logger (trace lines flushed per line and lazily, single-threaded and
// with 4 threads; info lines, which are also copied to messages.log), beside spdlog's
// basic_file_sink_mt with the same line layout (flushing every line and not), and beside the floor
// of one write(2) of the same bytes per line; info lines also beside the same system calls done
// bare. All files live in one directory, /var/log/tolma;
// run through bench/run.sh, which puts it in a private tmpfs. Prints the ratios last.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "RateReporter.h"

namespace {

const char kDir[] = "/var/log/tolma/";
// The body of every line; the header makes it "T|dd/mm/yyyy hh:mm:ss.mmm| " + body + "\n".
#define BODY_FORMAT "Device %d, GetStatus CMD sent, return: %d (bench line %08d)"

KLogger& Logger(const char* module, bool lazy) {
  // One logger per module for the whole run; they live until exit like a library's loggers.
  static std::map<std::string, KLogger*> loggers;
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  KLogger*& logger = loggers[std::string(module) + (lazy ? "+lazy" : "")];
  if (logger == nullptr) logger = new KLogger(klogSNL, -1, "SNL", module, 0, lazy);
  return *logger;
}

// Removes what a benchmark wrote so that the next one starts from empty files.
void CleanUp() {
  if (KLogManager* manager = KLogManager::Instance()) manager->closeAllOpenLogs();
  if (system("rm -rf /var/log/tolma/old /var/log/tolma/bench_*.log /var/log/tolma/messages.log "
             "/var/log/tolma/spd_*.log") != 0) {
    fprintf(stderr, "cleanup failed\n");
  }
}

void BM_KLoggerTrace(benchmark::State& state, bool lazy) {
  KLogger& log = Logger(lazy ? "bench_lazy" : "bench_flush", lazy);
  int n = 0;
  for (auto _ : state) log.Trace(BODY_FORMAT, 3, 1, n++);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) CleanUp();
}

void BM_KLoggerInfo(benchmark::State& state) {
  KLogger& log = Logger("bench_info", false);
  int n = 0;
  for (auto _ : state) log.Info(BODY_FORMAT, 3, 1, n++);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) CleanUp();
}

std::shared_ptr<spdlog::logger> Spdlog(bool flushEveryLine) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  const char* name = flushEveryLine ? "spd_flush" : "spd_noflush";
  if (auto existing = spdlog::get(name)) return existing;
  auto sink =
      std::make_shared<spdlog::sinks::basic_file_sink_mt>(std::string(kDir) + name + ".log");
  auto logger = std::make_shared<spdlog::logger>(name, sink);
  logger->set_pattern("%L|%d/%m/%Y %H:%M:%S.%e| %v");
  logger->set_level(spdlog::level::trace);
  logger->flush_on(flushEveryLine ? spdlog::level::trace : spdlog::level::off);
  spdlog::register_logger(logger);
  return logger;
}

void BM_Spdlog(benchmark::State& state, bool flushEveryLine) {
  auto logger = Spdlog(flushEveryLine);
  int n = 0;
  for (auto _ : state) {
    logger->trace("Device {}, GetStatus CMD sent, return: {} (bench line {:08d})", 3, 1, n++);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    logger->flush();
    if (truncate((std::string(kDir) + logger->name() + ".log").c_str(), 0) != 0) perror("truncate");
  }
}

void BM_Write2Floor(benchmark::State& state) {
  char line[128];
  int length =
      snprintf(line, sizeof line, "T|06/12/2026 08:23:55.400| " BODY_FORMAT "\n", 3, 1, 12345678);
  std::string path = std::string(kDir) + "bench_write.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  for (auto _ : state) {
    if (write(fd, line, static_cast<size_t>(length)) != length) state.SkipWithError("write");
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
  unlink(path.c_str());
}

// The system calls of an info line done bare: the copy to the shared messages file (open, one
// write, close) and one write of the line to the module's file, which stays open. `heldDir`
// opens the shared file relative to a descriptor of the log directory, as the library does,
// instead of through its whole path.
void BM_InfoFloor(benchmark::State& state, bool heldDir) {
  char line[160];
  int length =
      snprintf(line, sizeof line, "I|06/12/2026 08:23:55.400| " BODY_FORMAT "\n", 3, 1, 12345678);
  std::string module = std::string(kDir) + "bench_floor.log";
  std::string shared = std::string(kDir) + "bench_floor_messages.log";
  int fd = open(module.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int dir = open(kDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  for (auto _ : state) {
    int copy = heldDir ? openat(dir, "bench_floor_messages.log", flags, 0644)
                       : open(shared.c_str(), flags, 0644);
    if (write(copy, line, static_cast<size_t>(length)) != length) state.SkipWithError("write");
    close(copy);
    if (write(fd, line, static_cast<size_t>(length)) != length) state.SkipWithError("write");
  }
  close(dir);
  close(fd);
  state.SetItemsProcessed(state.iterations());
  unlink(module.c_str());
  unlink(shared.c_str());
}

BENCHMARK_CAPTURE(BM_KLoggerTrace, flush, false)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK_CAPTURE(BM_KLoggerTrace, lazy, true)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_KLoggerInfo)->UseRealTime()->Threads(1);
BENCHMARK_CAPTURE(BM_Spdlog, flush, true)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK_CAPTURE(BM_Spdlog, noflush, false)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_Write2Floor)->UseRealTime()->Threads(1);
BENCHMARK_CAPTURE(BM_InfoFloor, path, false)->UseRealTime()->Threads(1);
BENCHMARK_CAPTURE(BM_InfoFloor, held_dir, true)->UseRealTime()->Threads(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  snlbench::RateReporter reporter("lines/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string t1 = "/real_time/threads:1", t4 = "/real_time/threads:4";
  printf("\nRatios (higher is faster for the first):\n");
  reporter.PrintRatio("trace, flush per line vs spdlog flush (1 thread)",
                      "BM_KLoggerTrace/flush" + t1, "BM_Spdlog/flush" + t1);
  reporter.PrintRatio("trace, flush per line vs spdlog flush (4 threads)",
                      "BM_KLoggerTrace/flush" + t4, "BM_Spdlog/flush" + t4);
  reporter.PrintRatio("trace, lazy vs spdlog no flush (1 thread)", "BM_KLoggerTrace/lazy" + t1,
                      "BM_Spdlog/noflush" + t1);
  reporter.PrintRatio("trace, lazy vs spdlog no flush (4 threads)", "BM_KLoggerTrace/lazy" + t4,
                      "BM_Spdlog/noflush" + t4);
  reporter.PrintRatio("trace, flush per line vs one write(2) per line",
                      "BM_KLoggerTrace/flush" + t1, "BM_Write2Floor" + t1);
  reporter.PrintRatio("spdlog flush vs one write(2) per line", "BM_Spdlog/flush" + t1,
                      "BM_Write2Floor" + t1);
  reporter.PrintRatio("info (+ messages.log copy) vs trace flush per line", "BM_KLoggerInfo" + t1,
                      "BM_KLoggerTrace/flush" + t1);
  reporter.PrintRatio("info (+ messages.log copy) vs one write(2) per line", "BM_KLoggerInfo" + t1,
                      "BM_Write2Floor" + t1);
  reporter.PrintRatio("info vs its calls bare (open path, write, close; write)",
                      "BM_KLoggerInfo" + t1, "BM_InfoFloor/path" + t1);
  reporter.PrintRatio("info vs its calls bare (openat held dir, write, close; write)",
                      "BM_KLoggerInfo" + t1, "BM_InfoFloor/held_dir" + t1);
  benchmark::Shutdown();
  return 0;
}
