#include "DOdudo/config/KYamlCost.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <sstream>
#include <vector>

namespace config {

namespace {

// A bound passed, told apart from the parser's own errors.
class CostExceeded : public YAML::ParserException {
 public:
  using YAML::ParserException::ParserException;
};

// Without the bounds a 570-byte alias bomb (ten levels of ten aliases) has a Load visit about
// 10^9 nodes, and a 1 MiB "[0,0,...]" builds half a million nodes (hundreds of MB), all under the
// reloader's mutex. Configurations hold hundreds of nodes, rarely thousands.
//
// Counts the nodes of the text, event by event, and throws at the first bound passed.
class CostCounter : public YAML::EventHandler {
 public:
  // Anchors are numbered per document. yaml-cpp may report one empty document forever ("a\n,"):
  // a document starting where the last one did ends the count.
  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents++ > 0 && mark.pos == lastStart)
      throw YAML::ParserException(mark, "no progress past this document");
    lastStart = mark.pos;
    open.clear();
    sizes.clear();
    reach.clear();
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { Leaf(mark, anchor); }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    // A walk through the alias visits every node of what it names, aliases in it included.
    const unsigned long long nodes = anchor < reach.size() ? reach[anchor] : 1;
    aliased = Capped(aliased + nodes);
    if (aliased > kMaxYamlNodes)
      throw CostExceeded(mark, "aliases reach more than " +
                                            std::to_string(kMaxYamlNodes) +
                                            " nodes (a configuration is refused beyond that)");
    Count(mark, nodes, false);
  }
  void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                const std::string&) override {
    Leaf(mark, anchor);
  }
  void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    Enter(mark, anchor);
  }
  void OnSequenceEnd() override { Leave(); }
  void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    Enter(mark, anchor);
  }
  void OnMapEnd() override { Leave(); }

 private:
  static unsigned long long Capped(unsigned long long n) {
    return n > kMaxYamlNodes ? kMaxYamlNodes + 1 : n;
  }

  // One node more in the file (written, not reached through an alias) or `nodes` more reached
  // by the collections being read.
  void Count(const YAML::Mark& mark, unsigned long long nodes, bool written) {
    if (written && ++writtenNodes > kMaxYamlNodes)
      throw CostExceeded(mark, "more than " + std::to_string(kMaxYamlNodes) +
                                            " nodes (a configuration is refused beyond that)");
    if (!sizes.empty()) sizes.back() = Capped(sizes.back() + nodes);
  }
  void Leaf(const YAML::Mark& mark, YAML::anchor_t anchor) {
    Count(mark, 1, true);
    Reach(anchor, 1);
  }
  void Reach(YAML::anchor_t anchor, unsigned long long nodes) {
    if (anchor == 0) return;
    if (anchor >= reach.size()) reach.resize(anchor + 1, 1);
    reach[anchor] = nodes;
  }
  void Enter(const YAML::Mark& mark, YAML::anchor_t anchor) {
    Count(mark, 0, true);
    open.push_back(anchor);
    sizes.push_back(1);
  }
  void Leave() {
    const unsigned long long nodes = sizes.back();
    const YAML::anchor_t anchor = open.back();
    open.pop_back();
    sizes.pop_back();
    Reach(anchor, nodes);
    if (!sizes.empty()) sizes.back() = Capped(sizes.back() + nodes);
  }

  std::vector<YAML::anchor_t> open;       // anchors of the collections being read (0: none)
  std::vector<unsigned long long> sizes;  // nodes each of them reaches so far (capped)
  std::vector<unsigned long long> reach;  // by anchor: the nodes a walk through it visits
  unsigned long long writtenNodes = 0;    // in the whole text
  unsigned long long aliased = 0;         // reached through aliases, in the whole text
  unsigned long long documents = 0;
  int lastStart = -1;  // where the last document started
};

}  // namespace

void CheckYamlCost(const std::string& text) {
  std::istringstream in(text);
  YAML::Parser parser(in);
  CostCounter counter;
  try {
    while (parser.HandleNextDocument(counter)) {
    }
  } catch (const CostExceeded&) {
    throw;
  } catch (const YAML::Exception&) {
    // A syntax error: what came before it is counted, and nothing after it is ever loaded (the
    // documents are read up to the one asked for, and a broken one before it fails the load with
    // its own line and column).
  }
}

}  // namespace config
