#include "DOdudo/host/KPriority.h"

namespace dodudo {
namespace priority {

int PriorityForLevel(int level, int max, int current) {
  switch (level) {
    case 0: return max / 5;
    case 1: return max / 4;
    case 2: return max / 3;
    case 3: return max / 2;
    case 4: return static_cast<int>(max / 1.5);
    case 5: return max;
    default: return current;
  }
}

int HostLevelForPriority(int priority, int max) {
  if (priority == max) return 5;
  if (priority >= max / 1.5) return 4;
  if (priority >= max / 2) return 3;
  if (priority >= max / 3) return 2;
  return 1;
}

int ThreadLevelForPriority(int priority, int max) {
  int level = HostLevelForPriority(priority, max);
  if (level == 1 && priority < max / 4) return 0;
  return level;
}

}  // namespace priority
}  // namespace dodudo
