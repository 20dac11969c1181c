#pragma once

// The library is built with hidden visibility; only what carries DODUDO_API is exported from
// libsnl.so. Toolkit classes that applications build on are marked with it, internals are not.
#define DODUDO_API __attribute__((visibility("default")))
