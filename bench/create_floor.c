/* The floor of output creation: creates the files a list names, each of
 * its size, with one open, one write and one close apiece, as a program
 * that checks nothing would. The whole-process benchmark
 * (bench/run_bench.sh) times it against vexlo writing the same files.
 *   vexlo_create_floor LIST DIR
 * LIST: lines of "NAME SIZE" (as find -printf '%f %s\n' gives them); the
 * files are made in DIR, which must exist. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s LIST DIR\n", argv[0]);
    return 2;
  }
  FILE* list = fopen(argv[1], "r");
  if (list == NULL) {
    perror(argv[1]);
    return 1;
  }
  static unsigned char bytes[1 << 20];
  memset(bytes, 0x5A, sizeof bytes);
  char name[4096], path[8192];
  long size;
  int failed = 0;
  while (fscanf(list, "%4095s %ld", name, &size) == 2) {
    if (size < 0 || (unsigned long)size > sizeof bytes) size = sizeof bytes;
    snprintf(path, sizeof path, "%s/%s", argv[2], name);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || write(fd, bytes, (size_t)size) != size) failed = 1;
    if (fd >= 0) close(fd);
  }
  fclose(list);
  return failed;
}
