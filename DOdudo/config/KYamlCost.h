#pragma once

#include <string>

namespace config {

// Throws YAML::ParserException when a YAML text would cost more than a configuration may: more
// than kMaxYamlNodes nodes written in it, or more than kMaxYamlNodes nodes reached through its
// aliases (each alias counts every node a walk through it visits, the aliases inside included).
// Only the parser's events are counted: no node is built, whatever the text.
constexpr unsigned long long kMaxYamlNodes = 100000;
void CheckYamlCost(const std::string& text);

}  // namespace config
