// An LD_PRELOAD shim that makes one write or one fsync of a process fail, for
// the I/O fault tests (io_faults_test.cpp):
//   RELAMOR_FAIL_WRITE=N   the Nth write (write, pwrite, pwrite64, writev)
//                          fails with EIO and writes nothing
//   RELAMOR_FAIL_FSYNC=N   the Nth fsync, fdatasync or syncfs fails with EIO
//   RELAMOR_IO_COUNTS=FILE at exit, "WRITES FSYNCS" counted by the process
// Calls are counted from the start of the process, on every descriptor.
// Built as a shared library only; the converters never link it.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// The shim's counters live as long as the process; an LD_PRELOAD library has
// no other place for them.
std::atomic<long> writes{0};
std::atomic<long> fsyncs{0};

long Limit(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atol(text) : 0;
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool WriteFails() {
  static const long fail_at = Limit("RELAMOR_FAIL_WRITE");
  return ++writes == fail_at;
}

bool FsyncFails() {
  static const long fail_at = Limit("RELAMOR_FAIL_FSYNC");
  return ++fsyncs == fail_at;
}

struct CountsAtExit {
  ~CountsAtExit() {
    const char* path = std::getenv("RELAMOR_IO_COUNTS");
    if (path == nullptr) return;
    using OpenFn = int (*)(const char*, int, ...);
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    const int fd = Next<OpenFn>("open")(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%ld %ld", writes.load(), fsyncs.load());
    Next<WriteFn>("write")(fd, text, static_cast<size_t>(n));
    close(fd);
  }
} counts_at_exit;

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (WriteFails()) return errno = EIO, -1;
  return next(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (WriteFails()) return errno = EIO, -1;
  return next(fd, buf, n, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  if (WriteFails()) return errno = EIO, -1;
  return next(fd, buf, n, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static const auto next = Next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (WriteFails()) return errno = EIO, -1;
  return next(fd, iov, count);
}

int fsync(int fd) {
  static const auto next = Next<int (*)(int)>("fsync");
  if (FsyncFails()) return errno = EIO, -1;
  return next(fd);
}

int fdatasync(int fd) {
  static const auto next = Next<int (*)(int)>("fdatasync");
  if (FsyncFails()) return errno = EIO, -1;
  return next(fd);
}

int syncfs(int fd) {
  static const auto next = Next<int (*)(int)>("syncfs");
  if (FsyncFails()) return errno = EIO, -1;
  return next(fd);
}

}  // extern "C"
