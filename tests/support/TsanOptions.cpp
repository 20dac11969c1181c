// Under ThreadSanitizer: the fork tests make children of a threaded process that start threads of
// their own, which the sanitizer refuses by default (die_after_fork). The logging library is
// written to allow it (at-fork handlers hand the child consistent locks), so the tests do too.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif
