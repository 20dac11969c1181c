#include "DOdudo/config/KYamlDocuments.h"

#include <yaml-cpp/eventhandler.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

namespace config {

namespace {

// Follows the documents one event at a time: where each one starts, whether it holds the key an
// object asks for, and whether an alias lies inside the collection it names: such a node contains
// itself, and any walk through it (a Load reading nested values, a dump) would never end.
class DocumentWalk : public YAML::EventHandler {
 public:
  explicit DocumentWalk(const std::string& key) : key_(key) {}

  void OnDocumentStart(const YAML::Mark& mark) override {
    start = mark;
    holdsKey = key_.empty();  // the first document is the whole text's node
    open.clear();
    isOpen.clear();
    anchoredScalars_.clear();
    rootIsMap_ = false;
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override { Visit(false); }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    if (anchor < isOpen.size() && isOpen[anchor])
      throw YAML::ParserException(mark, "alias inside its own anchor");
    auto scalar = anchoredScalars_.find(anchor);
    Visit(scalar != anchoredScalars_.end() && scalar->second == key_);
  }
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                const std::string& value) override {
    if (anchor != YAML::NullAnchor) anchoredScalars_[anchor] = value;
    Visit(value == key_);
  }
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    Enter(anchor, false);
  }
  void OnSequenceEnd() override { Leave(); }
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    Enter(anchor, true);
  }
  void OnMapEnd() override { Leave(); }

  YAML::Mark start = YAML::Mark::null_mark();
  bool holdsKey = false;  // the document read last is the one asked for

 private:
  // A node starts at the present depth. In the top-level map, keys and values alternate.
  void Visit(bool isKey) {
    if (open.size() != 1 || !rootIsMap_) return;
    if (nextIsKey_ && isKey) holdsKey = true;
    nextIsKey_ = !nextIsKey_;
  }
  void Enter(YAML::anchor_t anchor, bool map) {
    Visit(false);
    if (open.empty()) {
      rootIsMap_ = map;
      nextIsKey_ = true;
    }
    open.push_back(anchor);
    if (anchor >= isOpen.size()) isOpen.resize(anchor + 1);
    isOpen[anchor] = true;
  }
  void Leave() {
    isOpen[open.back()] = false;
    open.pop_back();
  }

  const std::string key_;
  std::vector<YAML::anchor_t> open;  // anchors of the collections being read (0: none)
  std::vector<bool> isOpen;          // by anchor
  std::map<YAML::anchor_t, std::string> anchoredScalars_;  // what an alias used as a key says
  bool rootIsMap_ = false;
  bool nextIsKey_ = true;
};

// yaml-cpp reads a text that starts like this as UTF-16 or UTF-32.
bool IsUtf8(const std::string& text) {
  if (text.size() < 2) return true;
  const unsigned char b0 = static_cast<unsigned char>(text[0]),
                      b1 = static_cast<unsigned char>(text[1]);
  return b0 != 0 && b1 != 0 && !(b0 == 0xFE && b1 == 0xFF) && !(b0 == 0xFF && b1 == 0xFE);
}

bool IsDirectiveLine(const std::string& text, size_t begin) {
  return begin < text.size() && text[begin] == '%';
}

// Whether the line holds nothing for the parser (blank, or a comment).
bool IsIdleLine(const std::string& text, size_t begin, size_t end) {
  size_t first = text.find_first_not_of(" \t\r", begin);
  return first >= end || text[first] == '#' || text[first] == '\n';
}

// The document of the text that starts at `start` (a later one than the first), as the only
// document of a text in which it keeps its lines and columns: what comes before it becomes empty
// lines, except its own directives ("%TAG ..." lines right above it). So the marks of its nodes
// and of its errors name the place in the file, and parsing it never meets the documents after it.
YAML::Node LoadLaterDocument(const std::string& text, const YAML::Mark& start) {
  std::vector<size_t> lineStarts{0};
  for (size_t i = 0; lineStarts.size() <= static_cast<size_t>(start.line); ++i) {
    i = text.find('\n', i);
    if (i == std::string::npos) break;
    lineStarts.push_back(i + 1);
  }
  const size_t lines = lineStarts.size() - 1;  // before the document's line
  std::vector<bool> keep(lines, false);
  for (size_t line = lines; line-- > 0;) {
    if (IsDirectiveLine(text, lineStarts[line])) {
      keep[line] = true;
    } else if (!IsIdleLine(text, lineStarts[line], lineStarts[line + 1])) {
      break;
    }
  }
  std::string shifted;
  for (size_t line = 0; line < lines; ++line) {
    if (keep[line]) {
      shifted.append(text, lineStarts[line], lineStarts[line + 1] - lineStarts[line]);
    } else {
      shifted += '\n';
    }
  }
  // What precedes the document on its own line (never anything in practice) gives way too.
  size_t from = lineStarts[lines];
  size_t column = std::min(static_cast<size_t>(std::max(start.column, 0)), text.size() - from);
  shifted.append(column, ' ');
  shifted.append(text, from + column, std::string::npos);
  return YAML::Load(shifted);
}

// The node of `document` in one parsed document (see FindDocument); false when it has none.
bool SelectFrom(const YAML::Node& found, const std::string& document, YAML::Node& node) {
  if (document.empty()) {
    node = found;
    return true;
  }
  if (!found.IsMap()) return false;
  for (const auto& entry : found) {
    if (entry.first.IsScalar() && entry.first.Scalar() == document) {
      node = entry.second;
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindDocument(const std::string& text, const std::string& document, YAML::Node& node) {
  std::istringstream in(text);
  YAML::Parser parser(in);
  // Lines cannot be found in the raw bytes of UTF-16 and UTF-32: such a text is walked to its
  // end first and then loaded whole, so there a broken later document fails the load too.
  const bool utf8 = IsUtf8(text);
  DocumentWalk walk(utf8 ? document : std::string());
  size_t documents = 0;
  int previous = -1;
  // The parser stops making progress when a document starts where the previous one did, or when
  // there are more documents than the text has bytes.
  while (parser.HandleNextDocument(walk)) {
    if (walk.start.pos == previous || ++documents > text.size())
      throw YAML::ParserException(walk.start, "no progress past this document");
    previous = walk.start.pos;
    if (!utf8 || !walk.holdsKey) continue;
    if (SelectFrom(documents == 1 ? YAML::Load(text) : LoadLaterDocument(text, walk.start),
                   document, node))
      return true;
  }
  if (!utf8) {
    for (const YAML::Node& found : YAML::LoadAll(text))
      if (SelectFrom(found, document, node)) return true;
  }
  return false;
}

}  // namespace config
