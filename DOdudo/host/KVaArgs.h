#pragma once

#include <cstdarg>

// Runs `call` inside a variadic function with its variable arguments open as the va_list `args`
// (the arguments after the parameter `last`), and ends the list on every way out, a throwing call
// included:   DODUDO_WITH_VA_ARGS(format, text_.vFormat(format, args));
#define DODUDO_WITH_VA_ARGS(last, call) \
  do {                                  \
    va_list args;                       \
    va_start(args, last);               \
    try {                               \
      call;                             \
    } catch (...) {                     \
      va_end(args);                     \
      throw;                            \
    }                                   \
    va_end(args);                       \
  } while (0)
