// Calls the core makes that Emscripten 3.1's libc declares but does not define.
#include <fcntl.h>

#include <cerrno>

// Setting room aside is only a hint to the file system; the in-memory one has nothing to gain.
extern "C" int fallocate(int, int, off_t, off_t) {
  errno = EOPNOTSUPP;
  return -1;
}
