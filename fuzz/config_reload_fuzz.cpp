// Arbitrary YAML text reloaded into two registered sample objects (one by document key, one
// from the whole first document), then validated. Only the reloader's own failures may come out.
// The reloader logs every failure, so the harness first moves into a private mount namespace
// with a fresh /var/log; the file itself lives in a tmpfs of that namespace.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DOdudo/config/KConfigReloader.h"

namespace {

const char* const kDir = "/tmp/snl_fuzz_reload";

bool Isolate() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) return false;
  if (mkdir("/var/log/tolma", 0755) != 0) return false;
  mkdir(kDir, 0755);
  return mount("tmpfs", kDir, "tmpfs", 0, "mode=0755") == 0;
}

// Reads the kinds of values configuration classes read: scalars of several types, a port, a
// list and a nested map.
class Service : public config::KReloadable {
 public:
  explicit Service(const char* document)
      : KReloadable("fuzz", document, kMissingDocumentIsEmpty, kDir) {}
  void Load(const YAML::Node& node) override {
    name = node["Name"] ? node["Name"].as<std::string>() : "none";
    if (node["Port"]) config::ValidatePort(node["Port"].as<unsigned int>(), "Port");
    ratio = node["Ratio"] ? node["Ratio"].as<double>() : 0.5;
    hosts.clear();
    if (node["Hosts"])
      for (const auto& host : node["Hosts"]) hosts.push_back(host.as<std::string>());
    if (node["Limits"] && node["Limits"].IsMap())
      for (const auto& entry : node["Limits"]) entry.second.as<int>();
  }
  KReloadable* CreateEmpty() override { return new Service(document.c_str()); }
  void Check() override {
    if (ratio < 0) throw std::runtime_error("Ratio below 0");
  }

 private:
  std::string name;
  double ratio = 0.5;
  std::vector<std::string> hosts;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!Isolate()) {
    fprintf(stderr, "config_reload: needs root for a private mount namespace\n");
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static config::KRegistered<Service> byKey("Service");
  static config::KRegistered<Service> whole("");
  FILE* file = fopen((std::string(kDir) + "/fuzz.yaml").c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
  config::KConfigReloader::Reload("fuzz");
  try {
    config::KConfigReloader::Validate();
  } catch (const KTemplateException<config::KReloadable>&) {
  } catch (const YAML::Exception&) {
  }
  return 0;
}
