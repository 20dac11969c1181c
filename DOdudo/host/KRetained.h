#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace dodudo {

// Returns make(), whose allocations are kept on purpose for the life of the process (a logger that
// threads may still use while the process exits, a fork handler's record). Once the library is
// unloaded, the only pointer to them went with the library's data: they are no leak but a
// deliberate keep, and LeakSanitizer builds are told so by allocating them unchecked. That mark
// is per thread and takes no lock, so a fork in the middle of it cannot hang the child.
template <typename Make>
auto KRetained(Make make) -> decltype(make()) {
#if defined(__SANITIZE_ADDRESS__)
  struct Checked {
    Checked() { __lsan_disable(); }
    ~Checked() { __lsan_enable(); }
  } unchecked;
#endif
  return make();
}

}  // namespace dodudo
