// A toolkit application of the installed tree: compiled with every installed header (all.h, made
// from the installed list) and -fkeep-inline-functions, so that every inline function they define
// is emitted and linked against libsnl alone. main also instantiates what the headers define as
// templates, as an application would: a log filter's serialisation round trip.
#include "all.h"

#include <cstdio>

int main() {
  KLogFilter filter;
  dodudo::KBufferHolder bytes;
  bytes.Store(filter);  // KLogFilter::Serialize, inline in its header
  KLogFilter copy;
  bytes.Load(copy);
  dodudo::kstring text;
  text.sprintf("%u bytes", bytes.Size());
  std::printf("toolkit consumer: filter %s, round trip %s\n", text.c_str(),
              copy.ToBytes() == filter.ToBytes() ? "ok" : "differs");
  return copy.ToBytes() == filter.ToBytes() ? 0 : 1;
}
