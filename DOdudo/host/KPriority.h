#pragma once

// Internal: the mapping between the toolkit's priority levels 0..5 and a scheduling policy's
// priorities, shared by KHostSystem and dodudo::KThread. Pure functions, any thread.
namespace dodudo {
namespace priority {

// Level 0..5 -> max/5, max/4, max/3, max/2, max/1.5 (truncated), max. Other levels keep current.
int PriorityForLevel(int level, int max, int current);

// Reading used by KHostSystem: 5 at max, 4 from max/1.5, 3 from max/2, 2 from max/3, else 1.
int HostLevelForPriority(int priority, int max);

// Reading used by KThread: as above, but 1 only from max/4 and 0 below it.
int ThreadLevelForPriority(int priority, int max);

}  // namespace priority
}  // namespace dodudo
