/* LD_PRELOAD shim for process tests: fsync of the folder named by MAILVANE_FAIL_FSYNC_DIR fails
   with EIO, as a disk that cannot make a rename durable would; every other fsync is the real one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int fsync(int fd) {
  static int (*real_fsync)(int);
  if (real_fsync == NULL) *(void**)(&real_fsync) = dlsym(RTLD_NEXT, "fsync");
  const char* target = getenv("MAILVANE_FAIL_FSYNC_DIR");
  struct stat st;
  if (target != NULL && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n > 0) {
      path[n] = '\0';
      if (strcmp(path, target) == 0) {
        errno = EIO;
        return -1;
      }
    }
  }
  return real_fsync(fd);
}
