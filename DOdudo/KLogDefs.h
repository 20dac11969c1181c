#pragma once

// Log levels and sources. Levels 0..3 are always written; trace lines pass the per-source filter.
enum KLogLevel : int {
  klogError = 0,
  klogWarning = 1,
  klogInfo = 2,
  klogNotice = 3,
  klogTrace = 4,
};

enum KLogSource : unsigned int {
  klogSystem = 0,
  klogKLogger = 13,
  klogSNL = 14,
  klogMaxSources = 29,
};
