#include "DOdudo/config/KYamlDocuments.h"

#include <yaml-cpp/eventhandler.h>

#include <sstream>
#include <vector>

namespace config {

namespace {

// Follows where each document starts, and rejects an alias inside the collection it names: such
// a node contains itself, and any walk through it (a Load reading nested values, a dump) would
// never end.
class DocumentStarts : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark& mark) override {
    start = mark;
    open.clear();
    isOpen.clear();
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    if (anchor < isOpen.size() && isOpen[anchor])
      throw YAML::ParserException(mark, "alias inside its own anchor");
  }
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    Enter(anchor);
  }
  void OnSequenceEnd() override { Leave(); }
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    Enter(anchor);
  }
  void OnMapEnd() override { Leave(); }

  YAML::Mark start = YAML::Mark::null_mark();

 private:
  void Enter(YAML::anchor_t anchor) {
    open.push_back(anchor);
    if (anchor >= isOpen.size()) isOpen.resize(anchor + 1);
    isOpen[anchor] = true;
  }
  void Leave() {
    isOpen[open.back()] = false;
    open.pop_back();
  }

  std::vector<YAML::anchor_t> open;  // anchors of the collections being read (0: none)
  std::vector<bool> isOpen;          // by anchor
};

// Throws when the parser stops making progress: a document starting where the previous one did,
// or more documents than the text has bytes.
void CheckThatParsingEnds(const std::string& text) {
  std::istringstream in(text);
  YAML::Parser parser(in);
  DocumentStarts starts;
  size_t documents = 0;
  int previous = -1;
  while (parser.HandleNextDocument(starts)) {
    if (starts.start.pos == previous || ++documents > text.size())
      throw YAML::ParserException(starts.start, "no progress past this document");
    previous = starts.start.pos;
  }
}

}  // namespace

std::vector<YAML::Node> LoadDocuments(const std::string& text) {
  CheckThatParsingEnds(text);
  return YAML::LoadAll(text);
}

}  // namespace config
