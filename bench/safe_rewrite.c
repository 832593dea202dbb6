// SPDX-License-Identifier: MIT
/* The least a safe rewrite of a file in place costs: read it whole, write
 * the same bytes to a new unnamed file beside it, give that the old file's
 * permissions, sync it, name it, rename it over the old one and sync the
 * directory. The floor that hexpoke's own replacement is measured against.
 *
 *   safe_rewrite FILE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2 || strchr(argv[1], '/') != NULL) {
    fprintf(stderr, "usage: safe_rewrite FILE (in the current directory)\n");
    return 2;
  }
  const char* name = argv[1];
  int in = open(name, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) return 1;
  char* text = malloc((size_t)status.st_size + 1);
  ssize_t got = 0;
  while (text != NULL && got < status.st_size) {
    ssize_t n = read(in, text + got, (size_t)(status.st_size - got));
    if (n <= 0) return 1;
    got += n;
  }
  close(in);
  int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int out = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (dir < 0 || out < 0) return 1;
  for (ssize_t done = 0; done < got;) {
    ssize_t n = write(out, text + done, (size_t)(got - done));
    if (n <= 0) return 1;
    done += n;
  }
  char self[64], temporary[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", out);
  snprintf(temporary, sizeof temporary, ".safe_rewrite-%d.tmp", (int)getpid());
  if (fchmod(out, status.st_mode & 07777) != 0 || fsync(out) != 0 ||
      linkat(AT_FDCWD, self, dir, temporary, AT_SYMLINK_FOLLOW) != 0 ||
      renameat(dir, temporary, dir, name) != 0) {
    return 1;
  }
  fsync(dir);
  return 0;
}
