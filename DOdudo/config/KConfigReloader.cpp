#include "DOdudo/config/KConfigReloader.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/config/KYamlDocuments.h"
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
  static dodudo::KThreadMutex* const mutex = new dodudo::KThreadMutex();
  return *mutex;
}

// Unless a reload thread was ever started (which may still run), the mutex goes with the library:
// a host that loads and unloads it repeatedly leaks nothing. Destroyed after every unmarked static
// object (configuration objects of the library's own included) has gone.
std::atomic<bool> g_reloadThreadStarted{false};
struct ReloadMutexReaper {
  ~ReloadMutexReaper() {
    if (!g_reloadThreadStarted.load()) delete &ReloadMutex();
  }
} g_reloadMutexReaper DODUDO_INIT_TOOLKIT;

// A message must fit the exceptions' 20 KB bound, whatever a file or a Load puts into it.
constexpr size_t kMaxMessage = 20479;

std::string Bounded(std::string text) {
  if (text.size() > kMaxMessage) text.resize(kMaxMessage);
  return text;
}

// The whole file, or false when it cannot be opened or is not a regular file (a directory, a
// FIFO that would block the reload, a device).
bool ReadFile(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  char buffer[8192];
  ssize_t n = 0;
  while (ok && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  close(fd);
  return ok;
}

// The node of the object's document, per the rules of KReloadable; false when the file has none.
bool SelectDocument(const std::vector<YAML::Node>& documents, const kstring& name,
                    YAML::Node& node) {
  if (name.empty()) {
    if (documents.empty()) return false;
    node = documents.front();
    return true;
  }
  for (const YAML::Node& document : documents) {
    if (!document.IsMap()) continue;
    for (const auto& entry : document) {
      if (entry.first.IsScalar() && entry.first.Scalar() == name) {
        node = entry.second;
        return true;
      }
    }
  }
  return false;
}

void LoadFromFile(KReloadable& object, bool validateOnly) {
  const kstring& name = object.GetName();
  kstring path = object.GetDirectory().empty()
                     ? fstring("%s/config/%s.yaml", KHostSystem::GetWorkDirectory(), name.c_str())
                     : fstring("%s/%s.yaml", object.GetDirectory().c_str(), name.c_str());
  std::string text;
  if (!ReadFile(path, text)) throw ReloadException("Could not open file[%s]", path.c_str());
  YAML::Node node;
  if (!SelectDocument(LoadDocuments(text), object.GetDocument(), node)) {
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
  static KConfigReloader* const instance = _Instance = new KConfigReloader();
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
  g_reloadThreadStarted.store(true);
  void* handle = dodudo::KThread::StartThread(ConfigReloadThread, nullptr, 0, false, false, 0);
  if (handle == nullptr) {
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
    KConfigReloader::Callback callback;
    void* context;
    {
      dodudo::KScopedLock lock(ReloadMutex());
      callback = KConfigReloader::Instance().callback;
      context = KConfigReloader::Instance().context;
    }
    if (callback != nullptr) callback(context);
  } catch (const std::exception& e) {
    log.Warning("Configurations not reloaded properly. Cause: %s", e.what());
  } catch (...) {
    log.Warning("Configurations not reloaded properly. Cause: Unexpected exception");
  }
  return nullptr;
}

KLogger& KConfLog::ConfigLog() {
  static KLogger* const logger =
      new KLogger(klogConfig, -1, "CONFIG", "dodudo",
                  KLogger::KLOG_EXE_PREFIX | KLogger::KLOG_SHOW_NAME, false);
  return *logger;
}

void RequestConfigurationReload() {
  if (KLogManager* manager = KLogManager::GetMe(false)) manager->RequestKConfigReload();
}

void ValidatePort(unsigned int value, const kstring& name) {
  if (value < 1 || value > 65535)
    throw ReloadException("%s value(%d) is not a valid port (1-65535)", name.c_str(),
                          static_cast<int>(value));
}

}  // namespace config
