#include "toolkit/platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "toolkit/error.h"

namespace relamor::platform {

namespace {

[[noreturn]] void ThrowCopyError(const std::string& from, const std::string& to, int error) {
  throw Error(err::kPathFileAccess, "Path/File access error: cannot copy '" + from + "' to '" + to +
                                        "': " + std::strerror(error));
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result (close can report a failed write).
  int Close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Copies every byte of `in` to `out`; returns 0 or the errno of the failure.
int CopyBytes(int in, int out) {
  std::vector<char> buffer(1 << 16);
  while (true) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const char* p = buffer.data();
    std::size_t left = static_cast<std::size_t>(got);
    while (left > 0) {
      ssize_t put = ::write(out, p, left);
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      p += put;
      left -= static_cast<std::size_t>(put);
    }
  }
}

}  // namespace

void CopyFileReplacing(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    int error = errno;
    if (error == ENOENT) {
      throw Error(err::kFileNotFound,
                  "File not found: '" + from + "' (copying it to '" + to + "')");
    }
    ThrowCopyError(from, to, error);
  }
  struct stat st;
  if (::fstat(in.get(), &st) != 0) ThrowCopyError(from, to, errno);
  if (!S_ISREG(st.st_mode)) ThrowCopyError(from, to, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

  std::string temp = DirectoryOf(to) + "/.relamor-copy.XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) ThrowCopyError(from, to, errno);
  int error = ::fchmod(out.get(), st.st_mode & 0777) == 0 ? 0 : errno;
  if (error == 0) error = CopyBytes(in.get(), out.get());
  if (error == 0 && ::fsync(out.get()) != 0) error = errno;
  if (out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), to.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    ThrowCopyError(from, to, error);
  }
}

bool WriteFileReplacing(const std::string& path, const std::string& bytes, std::string* reason) {
  std::string temp = DirectoryOf(path) + "/.relamor-write.XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  int error = out.get() < 0 ? errno : 0;
  if (error == 0 && ::fchmod(out.get(), 0644) != 0) error = errno;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (error == 0 && left > 0) {
    ssize_t put = ::write(out.get(), p, left);
    if (put < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
  if (error == 0 && ::fsync(out.get()) != 0) error = errno;
  if (out.get() >= 0 && out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return true;
  ::unlink(temp.c_str());
  *reason = "cannot write '" + path + "': " + std::strerror(error);
  return false;
}

void SetArchiveOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT) throw Error(err::kFileNotFound, "File not found: '" + path + "'");
    throw Error(err::kPathFileAccess, "Path/File access error: cannot read the attributes of '" +
                                          path + "': " + std::strerror(error));
  }
  if (!S_ISREG(st.st_mode)) {
    throw Error(err::kPathFileAccess,
                "Path/File access error: '" + path + "' is not a regular file");
  }
  mode_t mode = (st.st_mode & 0777) | S_IRUSR | S_IWUSR;
  if (::chmod(path.c_str(), mode) != 0) {
    throw Error(err::kPathFileAccess, "Path/File access error: cannot change the attributes of '" +
                                          path + "': " + std::strerror(errno));
  }
}

std::string ResolvedDirectoryOf(const std::string& prefix) {
  namespace fs = std::filesystem;
  const std::string directory = DirectoryOf(prefix + "x");
  std::error_code ec;
  fs::path absolute = fs::absolute(directory, ec);
  if (ec) return directory;
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) resolved = absolute.lexically_normal();
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool SameOrNested(const std::string& a, const std::string& b) {
  auto inside = [](const std::string& outer, const std::string& inner) {
    if (outer == "/") return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == '/';
  };
  return a == b || inside(a, b) || inside(b, a);
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

DirectoryLock::Outcome DirectoryLock::Lock(const std::string& dir, std::string* reason) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return Outcome::kMissing;
    *reason = std::strerror(error);
    return Outcome::kFailed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return Outcome::kBusy;
    *reason = std::strerror(error);
    return Outcome::kFailed;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return Outcome::kLocked;
}

namespace {

std::string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// Removes the folders `prefix`* in `tmp` that a killed run left: this user's,
// held by no process, unchanged for the grace period. Best effort: a folder
// that cannot be examined or removed stays.
void RemoveLeftFolders(const std::string& tmp, const std::string& prefix) {
  std::error_code ec;
  std::filesystem::directory_iterator it(tmp, ec);
  if (ec) return;
  const std::time_t now = std::time(nullptr);
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const std::string name = it->path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = it->path().string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    Fd folder(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() ||
        now - info.st_mtime < kPrivateFolderGraceSeconds) {
      continue;
    }
    // Held by its maker while that lives; a lock we get means nobody is.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) continue;
    std::error_code not_removed;
    std::filesystem::remove_all(path, not_removed);
  }
}

}  // namespace

PrivateFolder::PrivateFolder(const std::string& prefix) {
  const std::string tmp = TemporaryDirectory();
  RemoveLeftFolders(tmp, prefix);
  std::string pattern = tmp + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw Error(err::kPathFileAccess, "Path/File access error: no private folder can be made in '" +
                                          tmp + "': " + std::strerror(errno));
  }
  fd_ = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (fd_ >= 0) ::close(fd_);
    ::rmdir(pattern.c_str());
    throw Error(err::kPathFileAccess, "Path/File access error: the private folder '" + pattern +
                                          "' cannot be held: " + std::strerror(error));
  }
  path_ = pattern;
}

PrivateFolder::~PrivateFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  ::close(fd_);
}

void KeepPreviousFile(const std::string& path) {
  const std::string kept = path + ".1";
  if (::rename(path.c_str(), kept.c_str()) != 0 && errno != ENOENT) {
    throw Error(err::kPathFileAccess, "Path/File access error: cannot keep '" + path + "' as '" +
                                          kept + "': " + std::strerror(errno));
  }
}

void RemoveDatabaseSideFiles(const std::string& path) {
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    const std::string side = path + suffix;
    if (::unlink(side.c_str()) != 0 && errno != ENOENT) {
      throw Error(err::kPathFileAccess, "Path/File access error: cannot remove '" + side +
                                            "': " + std::strerror(errno));
    }
  }
}

}  // namespace relamor::platform
