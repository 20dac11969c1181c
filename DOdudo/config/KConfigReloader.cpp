#include "DOdudo/config/KConfigReloader.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/config/KYamlCost.h"
#include "DOdudo/host/KForkSafeOnce.h"
#include "DOdudo/host/KRetained.h"
#include "DOdudo/config/KYamlDocuments.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KInitOrder.h"
#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/KThread.h"

namespace config {

using dodudo::fstring;
using dodudo::kstring;
using ReloadException = KTemplateException<KReloadable>;

namespace {

// Made on first use and never freed: configuration objects with static storage register during
// static initialisation, and detached reload threads may still load at process exit.
dodudo::KThreadMutex& ReloadMutex() {
  static dodudo::KThreadMutex* const mutex = dodudo::KRetained([] { return new dodudo::KThreadMutex(); });
  return *mutex;
}

// Reload threads are detached, so the library counts the running ones. Once the library is
// unloaded (or the process exits) no new one starts, the running ones are given a while to end,
// and the mutex goes with the library when none is left, also for a host that loads and unloads
// it repeatedly. A thread still running then keeps the mutex, which is leaked.
constexpr uint32_t kClosed = 0x80000000u;  // no reload thread may start any more
std::atomic<uint32_t> g_reloadThreads{0};  // running reload threads, | kClosed at unload
thread_local bool t_reloadThread = false;  // trivial: no thread-exit hook pins the library

// Made when the first reload thread starts, after every static object of the library: its
// destruction comes before theirs, so the threads it waits for end while all they use is whole.
// A reload thread that ends the process itself waits for the others only.
struct ReloadThreadDrain {
  ~ReloadThreadDrain() {
    g_reloadThreads.fetch_or(kClosed);
    const uint32_t self = t_reloadThread ? 1 : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((g_reloadThreads.load() & ~kClosed) > self &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// Counts a thread about to start; false once the count is closed.
bool EnterReloadThread() {
  static ReloadThreadDrain drain;
  uint32_t state = g_reloadThreads.load();
  do {
    if (state & kClosed) return false;
  } while (!g_reloadThreads.compare_exchange_weak(state, state + 1));
  return true;
}

// Reload orders are merged: one reload runs, one more waits for it, and every order that comes
// meanwhile is served by the waiting one (which starts after it and so reads every file as it is
// then). However many orders arrive, there is at most one reload thread and two reloads in a row.
enum : int { kNoReload = 0, kReloading = 1, kReloadingAndOneWaits = 2 };
std::atomic<int> g_reloadOrders{kNoReload};

// The routine of the reload thread. Leaving the count is its last use of the library's data; only
// its return is left.
void* ReloadThreadMain(void* argument) {
  t_reloadThread = true;
  for (;;) {
    ConfigReloadThread(argument);
    int state = kReloading;
    // Nothing waits: done. Otherwise the waiting reload runs now (unless the library is going).
    if (g_reloadOrders.compare_exchange_strong(state, kNoReload)) break;
    g_reloadOrders.store(kReloading);
    if (g_reloadThreads.load() & kClosed) {
      g_reloadOrders.store(kNoReload);
      break;
    }
  }
  g_reloadThreads.fetch_sub(1);
  return nullptr;
}

// Around fork() no load is under way, so the child gets the objects whole and the mutex free.
// fork() does not copy the reload thread: the child starts with none running, so that its first
// order starts a thread of its own.
// Registered when the library loads: registering later, under a lock the prepare handler takes
// (the reloader's mutex, held by a Load that orders a reload), could deadlock with a fork.
std::atomic<unsigned long> g_forkHandlers{0};
void HoldLoadsForFork(void*) { pthread_mutex_lock(ReloadMutex().GetMutex()); }
void ReleaseLoadsAfterFork(void*) { pthread_mutex_unlock(ReloadMutex().GetMutex()); }
void ForgetReloadsInChild(void*);
[[maybe_unused]] const bool g_forkHandlersRegistered = [] {
  g_forkHandlers.store(dodudo::KAtFork::Register(&HoldLoadsForFork, &ReleaseLoadsAfterFork,
                                                 &ForgetReloadsInChild, nullptr));
  return true;
}();

void ForgetReloadsInChild(void*) {
  // Recursive, and held by the parent's thread id: unlocking fails in the child. Made anew.
  dodudo::KAtFork::RenewHeldRecursiveMutex(ReloadMutex().GetMutex());
  g_reloadOrders.store(kNoReload);
  g_reloadThreads.fetch_and(kClosed);
}

// Destroyed after every unmarked static object (configuration objects of the library's own
// included) has gone.
struct ReloadMutexReaper {
  ~ReloadMutexReaper() {
    // The at-fork handlers use the mutex: gone before it is.
    dodudo::KAtFork::Unregister(g_forkHandlers.load());
    // Closed, the count only falls: none running now means none ever again.
    if ((g_reloadThreads.fetch_or(kClosed) & ~kClosed) == 0) delete &ReloadMutex();
  }
} g_reloadMutexReaper DODUDO_INIT_TOOLKIT;

// A message must fit the exceptions' 20 KB bound, whatever a file or a Load puts into it.
constexpr size_t kMaxMessage = 20479;

std::string Bounded(std::string text) {
  if (text.size() > kMaxMessage) text.resize(kMaxMessage);
  return text;
}

// Far above any configuration; yaml-cpp needs some hundred bytes of memory per byte of text.
constexpr size_t kMaxFileSize = 1 << 20;

// The whole file. Throws when it cannot be opened or is not a regular file (a directory, a FIFO
// that would block the reload, a device), or when it is too large to be a configuration.
void ReadFile(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw ReloadException("Could not open file[%s]", path.c_str());
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  char buffer[8192];
  ssize_t n = 0;
  while (ok && text.size() <= kMaxFileSize && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  close(fd);
  if (!ok) throw ReloadException("Could not open file[%s]", path.c_str());
  if (text.size() > kMaxFileSize)
    throw ReloadException("File[%s] is larger than %zu bytes", path.c_str(), kMaxFileSize);
}

void LoadFromFile(KReloadable& object, bool validateOnly) {
  const kstring& name = object.GetName();
  kstring path = object.GetDirectory().empty()
                     ? fstring("%s/config/%s.yaml", KHostSystem::GetWorkDirectory(), name.c_str())
                     : fstring("%s/%s.yaml", object.GetDirectory().c_str(), name.c_str());
  std::string text;
  ReadFile(path, text);
  // Before any node is built, let alone handed to a Load.
  CheckYamlCost(text);
  YAML::Node node;
  if (!FindDocument(text, object.GetDocument(), node)) {
    if (object.GetMissingDocumentPolicy() != KReloadable::kMissingDocumentIsEmpty)
      throw ReloadException("Could not find document '%s' in file '%s.yaml'",
                            object.GetDocument().c_str(), name.c_str());
    node = YAML::Node();
  }
  KConfigReloader::Reload(object, validateOnly, node);
}

}  // namespace

dodudo::KThreadMutex& KConfigReloader::Mutex = ReloadMutex();
KConfigReloader* KConfigReloader::_Instance = nullptr;

KReloadable::KReloadable(const kstring& name, const kstring& document, int missingDocumentPolicy,
                         const kstring& directory)
    : name(name),
      document(document),
      missingDocumentPolicy(missingDocumentPolicy),
      directory(directory) {}

KReloadable::~KReloadable() = default;

KConfigReloader& KConfigReloader::Instance() {
  static KConfigReloader* const instance = _Instance = dodudo::KRetained([] { return new KConfigReloader(); });
  return *instance;
}

void KConfigReloader::Register(KReloadable& object) {
  dodudo::KScopedLock lock(ReloadMutex());
  Instance().objects.push_back(&object);
}

void KConfigReloader::Unregister(KReloadable& object) {
  dodudo::KScopedLock lock(ReloadMutex());
  Instance().objects.remove(&object);
}

bool KConfigReloader::IsRegistered(const KReloadable* object) const {
  for (const KReloadable* registered : objects)
    if (registered == object) return true;
  return false;
}

void KConfigReloader::Reload(KReloadable& object, bool validateOnly, const YAML::Node& node) {
  dodudo::KScopedLock lock(ReloadMutex());
  std::unique_ptr<KReloadable> copy(object.CreateEmpty());
  if (!copy) throw std::runtime_error("CreateEmpty gave no object");
  copy->Load(node);
  copy->Check();
  if (!validateOnly) object.Load(node);
}

void KConfigReloader::Reload(KReloadable& object, bool validateOnly) {
  dodudo::KScopedLock lock(ReloadMutex());
  const char* name = object.GetName().c_str();
  const char* document = object.GetDocument().c_str();
  std::string text;
  try {
    LoadFromFile(object, validateOnly);
    return;
  } catch (const YAML::Exception& e) {
    text = Bounded("Failure loading configuration from file[" + std::string(name) +
                   ".yaml:" + document + "(" +
                   std::string(fstring("line=%d,col=%d", e.mark.line + 1, e.mark.column + 1)) +
                   ")]msg[" + e.msg + "]");
  } catch (const std::exception& e) {
    text = Bounded(std::string(e.what()) + "(" + name + ".yaml:" + document + ")");
  }
  KConfLog::ConfigLog().Warning("%s", text.c_str());
  throw ReloadException("%s", text.c_str());
}

void KConfigReloader::Reload(const kstring& name) {
  dodudo::KScopedLock lock(ReloadMutex());
  KConfigReloader& registry = Instance();
  // A Load may create or destroy other registered objects: walk a copy of the list and skip an
  // object that has left it meanwhile.
  std::vector<KReloadable*> objects(registry.objects.begin(), registry.objects.end());
  for (KReloadable* object : objects) {
    if (!registry.IsRegistered(object)) continue;
    if (!name.empty() && object->GetName() != name) continue;
    try {
      Reload(*object, false);
    } catch (const ReloadException&) {
      // Logged already; the object keeps its contents.
    }
  }
}

void KConfigReloader::Validate() {
  dodudo::KScopedLock lock(ReloadMutex());
  KConfigReloader& registry = Instance();
  std::vector<KReloadable*> objects(registry.objects.begin(), registry.objects.end());
  for (KReloadable* object : objects) {
    if (!registry.IsRegistered(object)) continue;
    try {
      Reload(*object, true);
    } catch (const YAML::Exception&) {
      throw;
    } catch (const ReloadException&) {
      throw;
    } catch (const std::exception& e) {
      throw ReloadException(
          "%s", Bounded(std::string("Validate error: ") + e.what() + "(file=" + object->GetName() +
                        ".yaml:" + object->GetDocument() + ")")
                    .c_str());
    }
  }
}

KConfigReloader::Callback KConfigReloader::SetReloadCallback(Callback callback, void* context) {
  dodudo::KScopedLock lock(ReloadMutex());
  KConfigReloader& registry = Instance();
  Callback previous = registry.callback;
  registry.callback = callback;
  registry.context = context;
  return previous;
}

void KConfigReloader::AsyncReloadAll() {
  // Merged into the reload running or the one waiting, when there is one.
  int state = g_reloadOrders.load();
  do {
    if (state == kReloadingAndOneWaits) return;
  } while (!g_reloadOrders.compare_exchange_weak(
      state, state == kNoReload ? kReloading : kReloadingAndOneWaits));
  if (state != kNoReload) return;
  // The library is being unloaded: a new thread would outlive it.
  if (!EnterReloadThread()) {
    g_reloadOrders.store(kNoReload);
    return;
  }
  void* handle = dodudo::KThread::StartThread(ReloadThreadMain, nullptr, 0, false, false, 0);
  if (handle == nullptr) {
    g_reloadThreads.fetch_sub(1);
    g_reloadOrders.store(kNoReload);
    KConfLog::ConfigLog().Warning(
        "Configurations not reloaded properly. Cause: no reload thread could be started");
    return;
  }
  dodudo::KThread::CloseThreadHandle(handle);
}

void* ConfigReloadThread(void* /*unused*/) {
  KLogger& log = KConfLog::ConfigLog();
  try {
    log.Trace("Reloading configurations...");
    KConfigReloader::Reload(kstring());
    log.Info("Configurations reloaded.");
    // Called under the lock: once SetReloadCallback has replaced a callback, the old one is
    // neither running nor about to run, so its owner may free the context.
    dodudo::KScopedLock lock(ReloadMutex());
    KConfigReloader& registry = KConfigReloader::Instance();
    if (registry.callback != nullptr) registry.callback(registry.context);
  } catch (const std::exception& e) {
    log.Warning("Configurations not reloaded properly. Cause: %s", e.what());
  } catch (...) {
    log.Warning("Configurations not reloaded properly. Cause: Unexpected exception");
  }
  return nullptr;
}

namespace {
KLogger* MakeConfigLog() {
  return new KLogger(klogConfig, -1, "CONFIG", "dodudo",
                     KLogger::KLOG_EXE_PREFIX | KLogger::KLOG_SHOW_NAME, false);
}
}  // namespace

// Never deleted; made fork-safely: the reload thread may be making it when a process forks.
KLogger& KConfLog::ConfigLog() { return dodudo::KForkSafeOnce<KLogger, MakeConfigLog>::Get(); }

void RequestConfigurationReload() {
  if (KLogManager* manager = KLogManager::GetMe(false)) manager->RequestKConfigReload();
}

void ValidatePort(unsigned int value, const kstring& name) {
  if (value < 1 || value > 65535)
    throw ReloadException("%s value(%d) is not a valid port (1-65535)", name.c_str(),
                          static_cast<int>(value));
}

}  // namespace config
