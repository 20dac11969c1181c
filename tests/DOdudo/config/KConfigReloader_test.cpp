// The YAML reloader on real files in a private tmpfs under the work directory: file and document
// selection, the failure messages, the registry, validation and the reload thread.
#include "DOdudo/config/KConfigReloader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LogTestSupport.h"
#include "support/TestIsolation.h"

namespace {

using config::KConfigReloader;
using config::KRegistered;
using testing::ElementsAre;

const std::string kConfigDir = "/etc/tolma/config";

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
    port = node["Port"] ? node["Port"].as<unsigned int>() : 14110;
    config::ValidatePort(port, "Port");
  }
  KReloadable* CreateEmpty() override {
    return new Limits(name, document, missingDocumentPolicy, directory);
  }
  void Check() override {
    if (maxCalls < 0) throw std::runtime_error("MaxCalls must not be negative");
  }

  int loads = 0;
  YAML::NodeType::value type = YAML::NodeType::Undefined;
  int maxCalls = -1;
  unsigned int port = 0;
};

void Write(const std::string& name, const std::string& text) {
  std::ofstream(kConfigDir + "/" + name, std::ios::binary) << text;
}

template <typename F>
std::string MessageOf(F&& call) {
  try {
    call();
  } catch (const KTemplateException<config::KReloadable>& e) {
    return e.what();
  }
  return "<no exception>";
}

std::vector<std::string> ConfigLog() {
  return logtest::LogLines(logtest::ExeName() + ".dodudo.log");
}

class KConfigReloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    mkdir(kConfigDir.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", kConfigDir.c_str(), "tmpfs", 0, "mode=0755"), 0);
  }
};

TEST_F(KConfigReloaderTest, TheDocumentIsTheKeyOfTheFirstMapHoldingItExactly) {
  Write("app.yaml",
        "- not a map\n---\n"
        "Other: {MaxCalls: 1}\nlimits: {MaxCalls: 2}\n'Limits ': {MaxCalls: 3}\n---\n"
        "Limits: {MaxCalls: 4, Port: 8080}\n---\n"
        "Limits: {MaxCalls: 5}\n");
  Limits limits;
  KConfigReloader::Reload(limits, false);
  EXPECT_EQ(limits.maxCalls, 4);
  EXPECT_EQ(limits.port, 8080u);
  Limits whole("app", "");  // the whole first document, whatever its type
  KConfigReloader::Reload(whole, false);
  EXPECT_EQ(whole.type, YAML::NodeType::Sequence);
  Limits allowed("app", "Absent", config::KReloadable::kMissingDocumentIsEmpty);
  KConfigReloader::Reload(allowed, false);
  EXPECT_EQ(allowed.type, YAML::NodeType::Null);
  EXPECT_EQ(allowed.maxCalls, 10);

  char dir[] = "/var/log/reloader.XXXXXX";  // a directory of its own replaces config/
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::ofstream(std::string(dir) + "/other.yaml") << "Limits: {MaxCalls: 6}\n";
  Limits other("other", "Limits", 0, dir);
  KConfigReloader::Reload(other, false);
  EXPECT_EQ(other.maxCalls, 6);
  EXPECT_NO_THROW(config::ValidatePort(1, "P"));
  EXPECT_NO_THROW(config::ValidatePort(65535, "P"));
  EXPECT_EQ(MessageOf([] { config::ValidatePort(65536, "ServerPort"); }),
            "ServerPort value(65536) is not a valid port (1-65535)");
}

// Every failure is thrown and logged with its exact text, and the live object keeps what it had.
TEST_F(KConfigReloaderTest, FailuresAreReportedExactlyAndLeaveTheObjectUntouched) {
  Write("app.yaml", "Limits: {MaxCalls: 4, Port: 8080}\n");
  Limits limits;
  KConfigReloader::Reload(limits, false);
  const std::string path = kConfigDir + "/app.yaml";
  const std::string notOpened = "Could not open file[/etc/tolma//config/app.yaml](app.yaml:Limits)";
  std::pair<std::string, std::string> cases[] = {
      {"", notOpened},
      {"<fifo>", notOpened},
      {"<dir>", notOpened},
      {"Other: 1\n", "Could not find document 'Limits' in file 'app.yaml'(app.yaml:Limits)"},
      {"Limits: {MaxCalls: 1}\nb: 2\nc: d: e\n",
       "Failure loading configuration from file[app.yaml:Limits(line=3,col=5)]"
       "msg[illegal map value]"},
      {"[Limits]\n,\n",  // yaml-cpp alone would never end
       "Failure loading configuration from file[app.yaml:Limits(line=2,col=1)]"
       "msg[no progress past this document]"},
      {"Limits:\n  MaxCalls: many\n",
       "Failure loading configuration from file[app.yaml:Limits(line=2,col=13)]"
       "msg[bad conversion]"},
      {"Limits: {MaxCalls: -1}\n", "MaxCalls must not be negative(app.yaml:Limits)"},
      {"Limits: {Port: 0}\n", "Port value(0) is not a valid port (1-65535)(app.yaml:Limits)"},
  };
  std::vector<std::string> expectedLog;
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    unlink(path.c_str());
    rmdir(path.c_str());
    if (file == "<fifo>") {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);  // would block a plain open
    } else if (file == "<dir>") {
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    } else if (!file.empty()) {
      Write("app.yaml", file);
    }
    EXPECT_EQ(MessageOf([&] { KConfigReloader::Reload(limits, false); }), message);
    expectedLog.push_back("W|<time>|CONFIG  | " + message);
  }
  EXPECT_EQ(limits.loads, 1);
  EXPECT_EQ(limits.maxCalls, 4);
  EXPECT_EQ(limits.port, 8080u);
  EXPECT_EQ(ConfigLog(), expectedLog);
}

TEST_F(KConfigReloaderTest, ReloadByNameSkipsFailingObjectsAndValidateAppliesNothing) {
  Write("app.yaml", "Limits: {MaxCalls: 1}\nMore: {MaxCalls: 2}\n");
  Write("bad.yaml", "Limits: {MaxCalls: -5}\n");
  KRegistered<Limits> first("app", "Limits");
  KRegistered<Limits> bad("bad", "Limits");
  KRegistered<Limits> more("app", "More");
  { KRegistered<Limits> gone("gone"); }  // leaves the registry with its end

  KConfigReloader::Reload("nobody");
  EXPECT_EQ(first.loads + bad.loads + more.loads, 0);
  KConfigReloader::Reload("app");
  EXPECT_EQ(first.maxCalls + more.maxCalls, 1 + 2);
  Write("app.yaml", "Limits: {MaxCalls: 11}\nMore: {MaxCalls: 12}\n");
  KConfigReloader::Reload("");
  EXPECT_EQ(first.maxCalls + more.maxCalls, 11 + 12);
  EXPECT_EQ(bad.loads, 0);

  // "first" passes without being applied; "bad" ends the visit.
  Write("app.yaml", "Limits: {MaxCalls: 21}\nMore: {MaxCalls: -1}\n");
  EXPECT_EQ(MessageOf([] { KConfigReloader::Validate(); }),
            "MaxCalls must not be negative(bad.yaml:Limits)");
  EXPECT_EQ(first.maxCalls, 11);
  EXPECT_THAT(ConfigLog(),
              ElementsAre("W|<time>|CONFIG  | MaxCalls must not be negative(bad.yaml:Limits)",
                          "W|<time>|CONFIG  | MaxCalls must not be negative(bad.yaml:Limits)"));
}

// Counts the calls of the reload callback.
struct Reloads {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;

  static void Callback(void* context) {
    auto* self = static_cast<Reloads*>(context);
    std::lock_guard<std::mutex> guard(self->mutex);
    ++self->count;
    self->changed.notify_all();
  }
  bool WaitFor(int wanted) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return count >= wanted; });
  }
};

// Then objects come and go while several reload threads walk the registry: none is visited once
// it has begun to go away (ASan and TSan watch this).
TEST_F(KConfigReloaderTest, TheReloadThreadReloadsEverythingThenCallsTheCallback) {
  Write("app.yaml", "Limits: {MaxCalls: 7}\n");
  KRegistered<Limits> limits;
  Reloads reloads;
  EXPECT_EQ(KConfigReloader::SetReloadCallback(Reloads::Callback, &reloads), nullptr);
  {
    KRegistered<Limits> missing("missing");
    KConfigReloader::AsyncReloadAll();
    ASSERT_TRUE(reloads.WaitFor(1));
  }
  EXPECT_THAT(ConfigLog(), ElementsAre("T|<time>|CONFIG  | Reloading configurations...",
                                       "W|<time>|CONFIG  | Could not open file[/etc/tolma//config/"
                                       "missing.yaml](missing.yaml:Limits)",
                                       "I|<time>|CONFIG  | Configurations reloaded."));
  std::atomic<bool> churning{true};
  std::vector<std::thread> churners;
  for (int i = 0; i < 2; ++i) {
    churners.emplace_back([&] {
      for (; churning;) {
        KRegistered<Limits> transient;
        KConfigReloader::Reload(transient, false);
      }
    });
  }
  for (int i = 0; i < 5; ++i) KConfigReloader::AsyncReloadAll();
  EXPECT_TRUE(reloads.WaitFor(6));
  churning = false;
  for (auto& thread : churners) thread.join();
  EXPECT_EQ(KConfigReloader::SetReloadCallback(nullptr, nullptr), &Reloads::Callback);
  dodudo::KScopedLock lock(KConfigReloader::Mutex);
  EXPECT_EQ(limits.maxCalls, 7);
  EXPECT_EQ(limits.loads, 6);
}

}  // namespace
