#pragma once

#include <yaml-cpp/yaml.h>

#include <string>

namespace config {

// The node a configuration object reads from a YAML text: with an empty `document`, the whole
// first document (whatever its type); otherwise the value of the first entry whose key is the
// scalar `document` (exactly) in the first document that is a map holding one. False when the
// text has no such document.
//
// The documents are read one after the other and reading stops at the match, so a broken
// document after it does not matter; one before it, or the matching one itself, throws
// YAML::ParserException with its line and column. Unlike yaml-cpp's own loading it always ends:
// yaml-cpp 0.7 reports the same empty document forever when a document goes on with a ',' at its
// top level ("a\n,"), which would hang the reload and exhaust memory. An alias inside the
// collection it names (a node containing itself) is rejected too.
bool FindDocument(const std::string& text, const std::string& document, YAML::Node& node);

}  // namespace config
