/* A C application of the installed library: lists the boards through the C interface. */
#include <snl/snl.h>
#include <stdio.h>

int main(void) {
  int count = snlDevCount();
  printf("c consumer: %d boards\n", count);
  for (int i = 0; i < count; ++i)
    printf("board %d: serial %d links %d status %d\n", i, snlDevSerial(i), snlDevLinks(i),
           snlStatus(i));
  /* An index past the end is refused without a transfer. */
  return snlStatus(count) == 4 && snlPingWatch(count) == 1 ? 0 : 1;
}
