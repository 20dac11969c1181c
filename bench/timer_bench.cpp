// Timer manager: startTimer + stopTimer pairs per second with 10,000 timers pending (1 and 4
// threads), beside the floor of the same inserts and erases on a std::multiset under one mutex;
// then the lateness of 1,000 timers spread over 2 seconds (median and p99 beyond the due time).
// Run it through bench/run.sh (the timer manager logs). Prints the ratios last.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DOdudo/TimerManager.h"
#include "RateReporter.h"

namespace {

constexpr int kPending = 10000;
constexpr unsigned int kHour = 3600 * 1000;

void Ignore(void*) {}

// Delays of the measured timers, spread so that inserts land all over the pending set.
unsigned int DelayOf(unsigned int i) { return kHour + (i * 7919u) % (2 * kHour); }

void BM_TimerManager(benchmark::State& state) {
  static TimerManager* timers = [] {
    TimerManager* manager = TimerManager::instance();
    for (unsigned int i = 0; i < kPending; ++i) manager->startTimer(DelayOf(i), nullptr, Ignore);
    return manager;
  }();
  unsigned int i = static_cast<unsigned int>(state.thread_index()) * 1000003u;
  for (auto _ : state) {
    unsigned int id = timers->startTimer(DelayOf(++i), nullptr, Ignore);
    benchmark::DoNotOptimize(timers->stopTimer(id));
  }
  state.SetItemsProcessed(state.iterations());
}

// The floor: the ordered set alone under one mutex, with the same cells and delays.
void BM_MultisetFloor(benchmark::State& state) {
  static std::mutex mutex;
  static std::multiset<TimerCell, TimerCellCompare>* cells = [] {
    auto* set = new std::multiset<TimerCell, TimerCellCompare>();
    for (unsigned int i = 0; i < kPending; ++i)
      set->insert(TimerCell{i + 1, DelayOf(i), nullptr, Ignore, false});
    return set;
  }();
  unsigned int i = static_cast<unsigned int>(state.thread_index()) * 1000003u;
  for (auto _ : state) {
    std::multiset<TimerCell, TimerCellCompare>::iterator it;
    {
      std::lock_guard<std::mutex> guard(mutex);
      ++i;
      it = cells->insert(TimerCell{i, DelayOf(i), nullptr, Ignore, false});
    }
    std::lock_guard<std::mutex> guard(mutex);
    cells->erase(it);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_TimerManager)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_MultisetFloor)->UseRealTime()->Threads(1)->Threads(4);

// ---- Lateness ----------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

struct Shot {
  Clock::time_point due;
  Clock::time_point fired;
};

std::mutex g_shotMutex;
std::condition_variable g_shotDone;
int g_shotsLeft = 0;

void Fire(void* argument) {
  auto* shot = static_cast<Shot*>(argument);
  shot->fired = Clock::now();
  std::lock_guard<std::mutex> guard(g_shotMutex);
  if (--g_shotsLeft == 0) g_shotDone.notify_all();
}

// Milliseconds beyond the due time of 1,000 timers due over 2 seconds: median and p99.
bool MeasureLateness(double& median, double& p99) {
  constexpr int kTimers = 1000;
  std::vector<Shot> shots(kTimers);
  g_shotsLeft = kTimers;
  TimerManager* timers = TimerManager::instance();
  for (int i = 0; i < kTimers; ++i) {
    unsigned int delay = static_cast<unsigned int>(i * 2000 / kTimers);
    shots[i].due = Clock::now() + std::chrono::milliseconds(delay);
    timers->startTimer(delay, &shots[i], Fire);
  }
  std::unique_lock<std::mutex> lock(g_shotMutex);
  if (!g_shotDone.wait_for(lock, std::chrono::seconds(30), [] { return g_shotsLeft == 0; }))
    return false;
  std::vector<double> late;
  for (const Shot& shot : shots)
    late.push_back(std::chrono::duration<double, std::milli>(shot.fired - shot.due).count());
  std::sort(late.begin(), late.end());
  median = late[late.size() / 2];
  p99 = late[late.size() * 99 / 100];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  snlbench::RateReporter reporter("pairs/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nRatios to the floor (std::multiset under one mutex; 1.00 = as fast):\n");
  for (const char* threads : {"1", "4"}) {
    const std::string suffix = std::string("/real_time/threads:") + threads;
    reporter.PrintRatio(std::string("start+stop pairs, ") + threads + " thread(s), 10,000 pending",
                        "BM_TimerManager" + suffix, "BM_MultisetFloor" + suffix);
  }
  double median = 0, p99 = 0;
  if (MeasureLateness(median, p99)) {
    printf("lateness of 1,000 timers over 2 s: median %.1f ms, p99 %.1f ms (period 25 ms)\n",
           median, p99);
  } else {
    printf("lateness: the timers did not all fire within 30 s\n");
  }
  benchmark::Shutdown();
  return 0;
}
