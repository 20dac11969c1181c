#include "DOdudo/config/KYamlDocuments.h"

#include <yaml-cpp/eventhandler.h>

#include <sstream>

namespace config {

namespace {

// Follows only where each document starts.
class DocumentStarts : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark& mark) override { start = mark; }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}

  YAML::Mark start = YAML::Mark::null_mark();
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
