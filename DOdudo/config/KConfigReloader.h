#pragma once

#include <yaml-cpp/yaml.h>

#include <list>
#include <utility>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/KThreadMutex.h"

class KLogger;

namespace config {

// A configuration object read from a YAML file: "<directory>/<name>.yaml", or
// "<work directory>/config/<name>.yaml" when the directory is empty. With a document name the
// object takes the value of that key in the first map document of the file holding it; with an
// empty one, the whole first document.
//
// A concrete class supplies Load (take the settings from a node; throw on a bad or missing
// value), CreateEmpty (a new object of the same class with default contents, owned by the
// caller) and Check (throw when the current contents are inconsistent). The reloader loads a
// fresh copy and checks it before it loads the object itself, so a bad file never reaches it.
//
// A KReloadable is not in the reloader's registry by itself; declare it as KRegistered<T> for
// that. The reloader calls Load only under KConfigReloader::Mutex: owners that read the settings
// from other threads take that lock too.
class DODUDO_API KReloadable {
 public:
  // The missing-document policy under which an absent document loads from an empty node.
  static constexpr int kMissingDocumentIsEmpty = 1;

  explicit KReloadable(const dodudo::kstring& name, const dodudo::kstring& document = "",
                       int missingDocumentPolicy = 0, const dodudo::kstring& directory = "");

  virtual void Load(const YAML::Node& node) = 0;
  virtual KReloadable* CreateEmpty() = 0;
  virtual void Check() = 0;
  virtual ~KReloadable();

  const dodudo::kstring& GetName() const { return name; }
  const dodudo::kstring& GetDocument() const { return document; }
  int GetMissingDocumentPolicy() const { return missingDocumentPolicy; }
  const dodudo::kstring& GetDirectory() const { return directory; }

 protected:
  KReloadable(const KReloadable&) = default;
  KReloadable& operator=(const KReloadable&) = default;

  dodudo::kstring name;
  dodudo::kstring document;
  int missingDocumentPolicy;
  dodudo::kstring directory;
};

// The body of the reload thread: reloads every registered object, logs, calls the reload
// callback. Never throws.
DODUDO_API void* ConfigReloadThread(void* unused);

// The registry of a process's configuration objects, which loads, validates and reloads them.
// Every operation is static and may be called from any thread; every load runs under Mutex, so
// loads never overlap. Failures are logged as warnings through KConfLog::ConfigLog() and thrown
// as KTemplateException<config::KReloadable>.
class DODUDO_API KConfigReloader {
 public:
  using Callback = void (*)(void* context);

  // Reloads every registered object on a detached thread (ConfigReloadThread) and returns at
  // once. Orders are merged: while a reload runs, one more is kept waiting and every further
  // order joins it, so however often this is called there is at most one reload thread, and the
  // last reload starts after the last order. In a forked child the first order starts a thread
  // of the child's own.
  static void AsyncReloadAll();
  // Reloads and applies every registered object named exactly `name` (all of them for an empty
  // name), in registration order. An object that fails keeps its contents, and the others are
  // still loaded; an exception outside the reloader's own family ends the call.
  static void Reload(const dodudo::kstring& name);
  // Reads the object's file and document, loads a fresh copy and checks it, then (unless
  // validateOnly) loads the object itself.
  static void Reload(KReloadable& object, bool validateOnly);
  // The same from a node: an exception of Load or Check passes on, the object untouched.
  static void Reload(KReloadable& object, bool validateOnly, const YAML::Node& node);
  // Checks every registered object against its file, applying nothing; the first failure is
  // thrown ("Validate error: ..." for one outside the reloader's family and yaml-cpp's).
  static void Validate();
  // Called with its context on the reload thread after each reload of all objects, under Mutex
  // (so it must not wait for a thread that loads). Returns the previous callback, which is then
  // neither running nor about to run: its context may be freed.
  static Callback SetReloadCallback(Callback callback, void* context);

  // Held during every load and while the registry is walked or changed. Recursive. Lives until
  // the process ends.
  static dodudo::KThreadMutex& Mutex;

 private:
  template <typename T>
  friend class KRegistered;
  friend void* ConfigReloadThread(void* unused);

  KConfigReloader() = default;
  static KConfigReloader& Instance();
  static void Register(KReloadable& object);
  static void Unregister(KReloadable& object);
  bool IsRegistered(const KReloadable* object) const;

  static KConfigReloader* _Instance;

  std::list<KReloadable*> objects;  // registration order; guarded by Mutex
  Callback callback = nullptr;      // guarded by Mutex
  void* context = nullptr;          // guarded by Mutex
};

// A configuration object of class T that is in the registry exactly while it is whole: it joins
// once T is fully constructed and leaves before any part of T is destroyed, waiting for a load of
// it in progress on another thread to end. Copies made by CreateEmpty are plain T and never join.
//   config::KRegistered<AppLimits> limits;   // constructor arguments are handed to T
template <typename T>
class KRegistered final : public T {
 public:
  template <typename... Args>
  explicit KRegistered(Args&&... args) : T(std::forward<Args>(args)...) {
    KConfigReloader::Register(*this);
  }
  ~KRegistered() override { KConfigReloader::Unregister(*this); }
  KRegistered(const KRegistered&) = delete;
  KRegistered& operator=(const KRegistered&) = delete;
};

// The reloader's logger: source Config, name "CONFIG", writer "<executable>.dodudo". Created on
// first use and never destroyed (reload threads are detached).
class DODUDO_API KConfLog {
 public:
  static KLogger& ConfigLog();
};

// Asks the log server, through the log manager, to order a reload of every configuration. Nothing
// is reloaded until the server's reload message arrives.
DODUDO_API void RequestConfigurationReload();

// Throws KTemplateException<config::KReloadable> "<name> value(<value>) is not a valid port
// (1-65535)" unless 1 <= value <= 65535.
DODUDO_API void ValidatePort(unsigned int value, const dodudo::kstring& name);

}  // namespace config
