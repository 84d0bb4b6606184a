/* The benchmark's collector plugin: prints its start time and its collector id as JSON. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

/* Linked statically so that a run costs the spawn itself, not the dynamic
   loader: the figures then show the scheduler, not ld.so. */
int main(int argc, char** argv) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const long long micros = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
  /* Read as a number so that whatever the argument, the output stays JSON. */
  const long id = argc > 1 ? strtol(argv[1], NULL, 10) : 0;
  char text[96];
  const int length = snprintf(text, sizeof text, "{\"t\":%lld,\"id\":%ld}\n", micros, id);
  return write(STDOUT_FILENO, text, (size_t)length) == length ? 0 : 1;
}
