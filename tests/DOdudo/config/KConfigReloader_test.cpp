// The YAML reloader on real files in a private tmpfs under the work directory.
#include "DOdudo/config/KConfigReloader.h"

#include <gmock/gmock.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LogTestSupport.h"
#include "support/LoopbackPeer.h"
#include "support/TestIsolation.h"

namespace {

using config::KConfigReloader;
using config::KRegistered;
using snltest::TextOf;
using testing::ElementsAre;
using ReloadError = KTemplateException<config::KReloadable>;

const std::string kDir = "/etc/tolma/config/";

// A sample configuration: MaxCalls (default 10, never negative) and Port (default 14110).
class Limits : public config::KReloadable {
 public:
  explicit Limits(const std::string& name = "app", const std::string& document = "Limits",
                  int policy = 0, const std::string& directory = "")
      : KReloadable(name, document, policy, directory) {}
  void Load(const YAML::Node& node) override {
    ++loads;
    type = node.Type();
    maxCalls = node["MaxCalls"] ? node["MaxCalls"].as<int>() : 10;
    config::ValidatePort(node["Port"] ? node["Port"].as<unsigned int>() : 14110, "Port");
  }
  KReloadable* CreateEmpty() override { return new Limits(name, document, 0, directory); }
  void Check() override {
    if (maxCalls < 0) throw std::runtime_error("MaxCalls must not be negative");
  }
  int loads = 0, maxCalls = -1;
  YAML::NodeType::value type = YAML::NodeType::Undefined;
};

void Write(const std::string& name, const std::string& text) {
  std::ofstream(kDir + name, std::ios::binary) << text;
}

class KConfigReloaderTest : public ::testing::Test {
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    mkdir(kDir.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", kDir.c_str(), "tmpfs", 0, "mode=0755"), 0);
  }
};

// The document is the key of the first map holding it exactly. Every failure is thrown and logged
// with its exact text, and the live object keeps what it had.
TEST_F(KConfigReloaderTest, DocumentsAndFailures) {
  Write("app.yaml",
        "- not a map\n---\nlimits: {MaxCalls: 2}\n'Limits ': {MaxCalls: 3}\n---\n"
        "Limits: {MaxCalls: 4}\n---\nLimits: {MaxCalls: 5}\n");
  Limits limits, whole("app", ""), absent("app", "Absent", Limits::kMissingDocumentIsEmpty);
  for (Limits* object : {&limits, &whole, &absent}) KConfigReloader::Reload(*object, false);
  EXPECT_EQ(limits.maxCalls, 4);
  EXPECT_EQ(whole.type, YAML::NodeType::Sequence);  // the whole first document
  EXPECT_EQ(absent.type, YAML::NodeType::Null);
  EXPECT_EQ(absent.maxCalls, 10);
  std::ofstream("/var/log/other.yaml") << "Limits: {MaxCalls: 6}\n";  // a directory of its own
  Limits other("other", "Limits", 0, "/var/log");
  KConfigReloader::Reload(other, false);
  EXPECT_EQ(other.maxCalls, 6);
  const std::string path = kDir + "app.yaml",
                    bad = "Failure loading configuration from file[app.yaml:Limits(";
  const std::string notOpened = "Could not open file[/etc/tolma//config/app.yaml](app.yaml:Limits)";
  std::pair<std::string, std::string> cases[] = {
      {"", notOpened},
      {"<fifo>", notOpened},  // would block a plain open
      {"<dir>", notOpened},
      {"<2 MiB>",
       "File[/etc/tolma//config/app.yaml] is larger than 1048576 bytes(app.yaml:Limits)"},
      {"Other: 1\n", "Could not find document 'Limits' in file 'app.yaml'(app.yaml:Limits)"},
      {"Limits: {MaxCalls: 1}\nb: 2\nc: d: e\n", bad + "line=3,col=5)]msg[illegal map value]"},
      {"[Limits]\n,\n", bad + "line=2,col=1)]msg[no progress past this document]"},  // else hangs
      {"Limits: &a {MaxCalls: 1, Self: [*a]}",
       bad + "line=1,col=33)]msg[alias inside its own anchor]"},
      {"Limits:\n  MaxCalls: many\n", bad + "line=2,col=13)]msg[bad conversion]"},
      {"Limits: {MaxCalls: -1}\n", "MaxCalls must not be negative(app.yaml:Limits)"},
      {"Limits: {Port: 0}\n", "Port value(0) is not a valid port (1-65535)(app.yaml:Limits)"},
      {"Limits: {Port: 65536}\n",
       "Port value(65536) is not a valid port (1-65535)(app.yaml:Limits)"},
  };
  std::vector<std::string> expectedLog;
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    unlink(path.c_str());
    rmdir(path.c_str());
    ASSERT_EQ(file == "<fifo>" ? mkfifo(path.c_str(), 0644) : 0, 0);
    ASSERT_EQ(file == "<dir>" ? mkdir(path.c_str(), 0755) : 0, 0);
    if (file == "<2 MiB>") Write("app.yaml", "Limits: {}\n#" + std::string(2 << 20, 'x'));
    if (!file.empty() && file[0] != '<') Write("app.yaml", file);
    EXPECT_EQ(TextOf<ReloadError>([&] { KConfigReloader::Reload(limits, false); }), message);
    expectedLog.push_back("W|<time>|CONFIG  | " + message);
  }
  EXPECT_EQ(limits.loads, 1);
  EXPECT_EQ(limits.maxCalls, 4);
  EXPECT_EQ(logtest::ToolkitLog(), expectedLog);
  EXPECT_NO_THROW((config::ValidatePort(1, "P"), config::ValidatePort(65535, "P")));
}

// Documents are read one after the other up to the one asked for: a broken document after it does
// not matter, one before it fails the load with its place in the file, and errors inside a later
// document name the file's line and column too.
TEST_F(KConfigReloaderTest, DocumentsAreReadUpToTheMatch) {
  const std::string broken = "---\nx: [\n  y: : :\n";  // an error on its third line
  const std::string bad = "Failure loading configuration from file[app.yaml:Limits(";
  std::pair<std::string, std::string> cases[] = {
      // file, MaxCalls loaded or the failure
      {"Limits: {MaxCalls: 2}\n" + broken, "2"},
      {"Other: 1\n---\n- Limits\n---\n# the match\nLimits:\n  MaxCalls: 3\n" + broken, "3"},
      {"a: 1\n...\n%TAG !t! tag:example.com,2026:\n---\n!t!m {Limits: {MaxCalls: 4}}\n" + broken,
       "4"},
      {"a: 1\n---\nx: &k Limits\n*k : {MaxCalls: 5}\n" + broken, "5"},  // an alias as the key
      {"\xEF\xBB\xBF" "a: 1\n---\nLimits: {MaxCalls: 6}\n" + broken, "6"},
      {broken + "---\nLimits: {MaxCalls: 7}\n", bad + "line=4,col=1)]msg[end of sequence flow not found]"},
      {"a: 1\n---\nb: 2\n---\nLimits:\n  MaxCalls: many\n" + broken,
       bad + "line=6,col=13)]msg[bad conversion]"},
      {"a: 1\n---\nLimits: {MaxCalls: 8}\nc: d: e\n", bad + "line=4,col=5)]msg[illegal map value]"},
  };
  for (const auto& [file, expected] : cases) {
    SCOPED_TRACE(file);
    Write("app.yaml", file);
    Limits limits;
    std::string result = TextOf<ReloadError>([&] { KConfigReloader::Reload(limits, false); });
    EXPECT_EQ(result == "<no exception>" ? std::to_string(limits.maxCalls) : result, expected);
  }
  std::string utf16;  // UTF-16LE, where the documents after the match are parsed too
  for (char c : std::string("a: 1\n---\nLimits: {MaxCalls: 9}\n---\n[Limits]\n,\n")) utf16 += {c, '\0'};
  Write("app.yaml", utf16);
  Limits wide;
  EXPECT_EQ(TextOf<ReloadError>([&] { KConfigReloader::Reload(wide, false); }),
            bad + "line=6,col=1)]msg[no progress past this document]");
  Write("app.yaml", utf16.substr(0, utf16.size() - 30));
  KConfigReloader::Reload(wide, false);
  EXPECT_EQ(wide.maxCalls, 9);
  Write("app.yaml", "[whole]\n" + broken);
  Limits whole("app", "");
  KConfigReloader::Reload(whole, false);
  EXPECT_EQ(whole.type, YAML::NodeType::Sequence);
}

TEST_F(KConfigReloaderTest, ReloadByNameSkipsFailingObjectsAndValidateAppliesNothing) {
  Write("app.yaml", "Limits: {MaxCalls: 1}\nMore: {MaxCalls: 2}\n");
  Write("bad.yaml", "Limits: {MaxCalls: -5}\n");
  KRegistered<Limits> first("app", "Limits"), bad("bad", "Limits"), more("app", "More");
  { KRegistered<Limits> gone("gone"); }  // leaves the registry with its end
  KConfigReloader::Reload("nobody");
  EXPECT_EQ(first.loads + bad.loads + more.loads, 0);
  KConfigReloader::Reload("app");
  EXPECT_EQ(first.maxCalls + more.maxCalls, 1 + 2);
  Write("app.yaml", "Limits: {MaxCalls: 11}\nMore: {MaxCalls: 12}\n");
  KConfigReloader::Reload("");
  EXPECT_EQ(first.maxCalls + more.maxCalls, 11 + 12);
  Write("app.yaml", "Limits: {MaxCalls: 21}\nMore: {MaxCalls: -1}\n");
  EXPECT_EQ(TextOf<ReloadError>([] { KConfigReloader::Validate(); }),  // "bad" ends the visit
            "MaxCalls must not be negative(bad.yaml:Limits)");
  EXPECT_EQ(first.maxCalls + bad.loads, 11 + 0);
  EXPECT_EQ(logtest::ToolkitLog(),
            std::vector<std::string>(
                2, "W|<time>|CONFIG  | MaxCalls must not be negative(bad.yaml:Limits)"));
}

std::atomic<bool> g_replaced{false};
std::atomic<int> g_late{0}, g_calls{0}, g_returns{0};
void CountReload(void* context) {
  usleep(100000 * g_calls++);  // its owner replaces it meanwhile, then frees the context
  g_late += g_replaced;
  ++*static_cast<std::atomic<int>*>(context);
  ++g_returns;
}

// Objects come and go while several reload threads walk the registry (ASan and TSan watch); an
// owner may free the callback's context once it has replaced the callback.
TEST_F(KConfigReloaderTest, TheReloadThreadReloadsEverythingThenCallsTheCallback) {
  Write("app.yaml", "Limits: {MaxCalls: 7}\n");
  KRegistered<Limits> limits;
  auto count = std::make_unique<std::atomic<int>>(0);
  EXPECT_EQ(KConfigReloader::SetReloadCallback(CountReload, count.get()), nullptr);
  {
    KRegistered<Limits> missing("missing");
    KConfigReloader::AsyncReloadAll();
    ASSERT_TRUE(logtest::WaitFor([&] { return *count == 1; }));
  }
  EXPECT_THAT(logtest::ToolkitLog(),
              ElementsAre("T|<time>|CONFIG  | Reloading configurations...",
                          "W|<time>|CONFIG  | Could not open file[/etc/tolma//config/"
                          "missing.yaml](missing.yaml:Limits)",
                          "I|<time>|CONFIG  | Configurations reloaded."));
  std::atomic<bool> churning{true};
  std::thread churner([&] {
    while (churning) KConfigReloader::Reload(*std::make_unique<KRegistered<Limits>>(), false);
  });
  for (int i = 0; i < 5; ++i) KConfigReloader::AsyncReloadAll();
  EXPECT_TRUE(logtest::WaitFor([&] { return *count >= 2; }));
  EXPECT_EQ(KConfigReloader::SetReloadCallback(nullptr, nullptr), &CountReload);
  g_replaced = true;
  count.reset();
  // The five orders merged into the one waiting behind the running reload, if one still ran.
  EXPECT_TRUE(logtest::WaitFor([&] {
    dodudo::KScopedLock lock(KConfigReloader::Mutex);
    return limits.loads >= 2;
  }));
  usleep(300000);
  {
    dodudo::KScopedLock lock(KConfigReloader::Mutex);
    EXPECT_LE(limits.loads, 3);
  }
  churning = false;
  churner.join();
  EXPECT_TRUE(logtest::WaitFor([] { return g_returns == g_calls; }));
  EXPECT_EQ(g_late, 0);
}

// Walks every node it is given (as a Load reading nested settings does), giving up past 2 million.
class Walker : public config::KReloadable {
 public:
  Walker() : KReloadable("big", "Limits") {}
  void Load(const YAML::Node& node) override {
    ++loads;
    long long visited = 0;
    Walk(node, visited);
  }
  KReloadable* CreateEmpty() override { return new Walker(); }
  void Check() override {}
  int loads = 0;

 private:
  static void Walk(const YAML::Node& node, long long& visited) {
    if (++visited > 2000000) throw std::runtime_error("walked past 2 million nodes");
    if (node.IsSequence() || node.IsMap())
      for (const auto& child : node) Walk(node.IsMap() ? child.second : child, visited);
  }
};

long MaxRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// What a file may cost is bounded before any node is built or loaded: a 570-byte alias bomb (ten
// levels of ten aliases, 10^10 nodes for a walk) and a 1 MiB sequence of half a million zeros
// are refused, naming the file, in a fraction of a second and without the hundreds of MB the
// nodes would take. A file just inside both bounds still loads.
TEST_F(KConfigReloaderTest, FilesBeyondTheNodeBoundsAreRefusedBeforeAnyLoad) {
  std::string bomb = "x: &a0 [0,0,0,0,0,0,0,0,0,0]\n";
  for (int level = 1; level < 10; ++level) {
    bomb += "x" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) bomb += (i ? ",*a" : "*a") + std::to_string(level - 1);
    bomb += "]\n";
  }
  bomb += "Limits: *a9\n";
  ASSERT_LT(bomb.size(), 600u);
  std::string zeros = "Limits: [0";
  while (zeros.size() < (1u << 20) - 4) zeros += ",0";
  zeros += "]\n";
  const std::string prefix = "Failure loading configuration from file[big.yaml:Limits(line=";
  const std::pair<std::string, std::string> files[] = {
      {bomb, "aliases reach more than 100000 nodes (a configuration is refused beyond that)]"},
      {zeros, "more than 100000 nodes (a configuration is refused beyond that)]"}};
  Walker walker;
  const long rssBefore = MaxRssKb();
  for (const auto& [text, reason] : files) {
    Write("big.yaml", text);
    auto start = std::chrono::steady_clock::now();
    std::string message = TextOf<ReloadError>([&] { KConfigReloader::Reload(walker, false); });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_THAT(message, testing::EndsWith(reason));
    std::cout << reason.substr(0, 7) << ": refused in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    EXPECT_LT(took, std::chrono::seconds(20)) << reason;  // no Load, whatever the build
  }
  EXPECT_EQ(walker.loads, 0);
  std::cout << "peak memory grew by " << (MaxRssKb() - rssBefore) / 1024 << " MB\n";
  EXPECT_LT(MaxRssKb() - rssBefore, 64 * 1024);  // nodes of the 1 MiB file: 240 MB
  // 99,999 nodes written, and 10 x 9,999 reached through aliases: inside both bounds.
  std::string inside = "x: &a [0";
  for (int i = 1; i < 9998; ++i) inside += ",0";
  inside += "]\nLimits: [*a,*a,*a,*a,*a,*a,*a,*a,*a,*a";
  for (int i = 0; i < 99999 - 9999 - 2 - 10 - 1; ++i) inside += ",0";
  Write("big.yaml", inside + "]\n");
  EXPECT_NO_THROW(KConfigReloader::Reload(walker, false));
  EXPECT_EQ(walker.loads, 1);
}

int Threads() {
  std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

std::atomic<int> g_slowLoads{0};
// Takes 20 ms per load.
std::atomic<int> g_slowLoadsStarted{0};

class Slow : public Limits {
 public:
  void Load(const YAML::Node& node) override {
    ++g_slowLoadsStarted;
    usleep(20000);
    ++g_slowLoads;
    Limits::Load(node);
  }
  KReloadable* CreateEmpty() override { return new Limits(); }
};

// A thousand reload orders in a burst: one reload thread at a time, at most two reloads, and the
// last one reads the file as it was after the last order.
TEST_F(KConfigReloaderTest, AThousandReloadOrdersMergeIntoOneThread) {
  Write("app.yaml", "Limits: {MaxCalls: 1}\n");
  KRegistered<Slow> slow;
  // A sanitizer's runtime starts a helper thread of its own with the process's first thread: it
  // is there before counting.
  std::thread([] {}).join();
  const int before = Threads();
  int most = before;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    if (i == 999) Write("app.yaml", "Limits: {MaxCalls: 999}\n");
    KConfigReloader::AsyncReloadAll();
    most = std::max(most, Threads());
  }
  const long long burstMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
  EXPECT_LE(most, before + 2);  // one reloading, and at most the previous one still ending
  // The last order always causes a reload after it; at most two are left after the burst, but
  // under ThreadSanitizer on a loaded machine one reload alone may take seconds.
  ASSERT_TRUE(logtest::WaitFor(
      [&] {
        dodudo::KScopedLock lock(KConfigReloader::Mutex);
        return slow.maxCalls == 999;
      },
      120000))
      << g_slowLoads.load() << " loads after a burst of " << burstMs << " ms";
  usleep(200000);
  // One reload at a time, each 20 ms: those that fit in the burst, plus the one waiting at its end.
  EXPECT_LE(g_slowLoads.load(), 2 + burstMs / 20) << burstMs << " ms";
  EXPECT_TRUE(logtest::WaitFor([&] { return Threads() == before; }));
}

std::atomic<int> g_childReloads{0};
void CountChildReload(void*) { ++g_childReloads; }

// A fork while the reload thread holds the reloader's mutex in a Load: the child reloads (its own
// thread, the mutex free) instead of hanging.
TEST_F(KConfigReloaderTest, AForkedChildReloadsWhileTheParentIsReloading) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a threaded fork";
#elif defined(__SANITIZE_ADDRESS__)
  // Its allocator's locks are not held across fork: a parent thread allocating at the fork (the
  // reload thread starting) leaves the child's first allocation hung; glibc's malloc does not.
  GTEST_SKIP() << "AddressSanitizer's allocator can hang the child of a threaded fork";
#endif
  Write("app.yaml", "Limits: {MaxCalls: 5}\n");
  KRegistered<Slow> slow;
  KConfigReloader::SetReloadCallback(CountChildReload, nullptr);
  for (int round = 0; round < 20; ++round) {
    // Forked inside the Load, at different depths: a fork while the reload thread logs (its line's
    // time stamp under glibc's time zone lock) would leave the child's threads that lock for ever,
    // which no library can mend (after a threaded fork only async-signal-safe calls are sound).
    const int started = g_slowLoadsStarted;
    KConfigReloader::AsyncReloadAll();
    while (g_slowLoadsStarted == started) usleep(200);
    usleep(4000 * (round % 5));
    pid_t pid = fork();
    if (pid == 0) {
      alarm(10);  // a hung child dies of SIGALRM
      g_childReloads = 0;
      KConfigReloader::AsyncReloadAll();
      for (int i = 0; i < 3000 && g_childReloads == 0; ++i) usleep(1000);
      _exit(g_childReloads == 1 ? 0 : 10 + g_childReloads);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << std::hex << status;
  }
}

}  // namespace
