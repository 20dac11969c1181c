#pragma once

// Shared by the channel tests: frames and encodings written out byte by byte, and exception texts.
#include <cstdint>
#include <exception>
#include <string>

namespace ipctest {

inline std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// The encoding of a string, and a frame around any encoding.
inline std::string Str(const std::string& text) { return Le32(text.size() + 1) + text + '\0'; }
inline std::string Frame(const std::string& body) { return Le32(body.size()) + body; }

template <typename E = std::exception, typename F>
std::string TextOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace ipctest
