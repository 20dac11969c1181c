#pragma once

#include <yaml-cpp/yaml.h>

#include <string>
#include <vector>

namespace config {

// Every document of a YAML text, as YAML::LoadAll gives them, or YAML::ParserException. Unlike
// LoadAll it always ends: yaml-cpp 0.7 reports the same empty document forever when a document
// goes on with a ',' at its top level ("a\n,"), which would hang the reload and exhaust memory.
std::vector<YAML::Node> LoadDocuments(const std::string& text);

}  // namespace config
