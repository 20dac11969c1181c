#pragma once

#include <string>

namespace snllogd {

// Appends the text of one record to `out` as exactly one line, so that nothing a client sends can
// forge a line of its own or reach the terminal of whoever reads the file:
// - one line end at the end of the text is the record's own and is kept; a missing one is added;
// - every other byte below 0x20 except the tab, and DEL (0x7F), is written as \xHH (two lower-case
//   hex digits): an embedded newline becomes \x0a, ESC \x1b, NUL \x00;
// - the C1 control characters, which some terminals obey like ESC sequences, are escaped too:
//   U+0080..U+009F in UTF-8 (C2 80..C2 9F becomes \xc2\x80..\xc2\x9f) and a byte 0x80..0x9F that
//   is not part of a well-formed UTF-8 sequence;
// - everything else (UTF-8, ISO 8859-1 letters, a backslash) is written as it came.
// A backslash is not doubled, so a text that already held "\x0a" reads the same as an escaped
// newline; the escaping protects the file, it is not meant to be undone.
void AppendLine(const std::string& text, std::string& out);

// The parts of a line as the toolkit's loggers write it ("I|06/12/2026 20:50:21.123|SNL     | body"):
// the level character, the time and what follows it. A line without that header has level 'I', no
// time and all of it as the rest.
struct LineParts {
  char level = 'I';
  std::string time;  // "2026-12-06 20:50:21.123" (year first), or empty
  std::string rest;  // the name column and the body, or the whole line; no line end
};
LineParts SplitLine(const std::string& line);

}  // namespace snllogd
