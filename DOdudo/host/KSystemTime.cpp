#include "DOdudo/host/KSystemTime.h"

#include <tuple>

namespace dodudo {
namespace time {

namespace {
auto Key(const KSystemTime& t) {
  return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
}
}  // namespace

bool operator<=(const KSystemTime& a, const KSystemTime& b) { return Key(a) <= Key(b); }

bool operator>=(const KSystemTime& a, const KSystemTime& b) { return Key(a) >= Key(b); }

}  // namespace time
}  // namespace dodudo
