#include "toolkit/platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <cstdint>
#include <filesystem>
#include <memory>
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

constexpr std::size_t kCopyBufferSize = 1 << 16;

// Copies every byte of `in` to `out` through `buffer` (kCopyBufferSize
// bytes); returns 0 or the errno of the failure.
int CopyBytes(int in, int out, char* buffer) {
  while (true) {
    ssize_t got = ::read(in, buffer, kCopyBufferSize);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const char* p = buffer;
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

// Copies the open file `in` (named `from` in errors) to `to` under a
// temporary name in the target directory, with mode `mode`, synced, then
// renamed over the target; throws the copy error naming both files.
static void CopyOpenFileReplacing(int in, mode_t mode, const std::string& from,
                                  const std::string& to) {
  std::string temp = DirectoryOf(to) + "/.relamor-copy.XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) ThrowCopyError(from, to, errno);
  int error = ::fchmod(out.get(), mode & 0777) == 0 ? 0 : errno;
  if (error == 0) {
    // Not zeroed: every byte is read into before it is written.
    const std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    error = CopyBytes(in, out.get(), buffer.get());
  }
  if (error == 0 && ::fsync(out.get()) != 0) error = errno;
  if (out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), to.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    ThrowCopyError(from, to, error);
  }
}

void CopyFileReplacing(const std::string& from, const std::string& to) {
  CopyFileReplacingEach(from, {to}, nullptr, nullptr);
}

namespace {

// The copies of one group of CopyFileReplacingEach: written, not yet
// renamed. Whatever is left is removed when the group ends (an error).
struct PendingCopies {
  std::vector<std::string> temps;
  std::vector<int> fds;
  std::size_t renamed = 0;

  ~PendingCopies() {
    CloseAll();
    for (std::size_t k = renamed; k < temps.size(); ++k) ::unlink(temps[k].c_str());
  }
  // Closes every copy; 0 or the errno of the first failed close.
  int CloseAll() {
    int error = 0;
    for (int& fd : fds) {
      if (fd >= 0 && ::close(fd) != 0 && error == 0) error = errno;
      fd = -1;
    }
    return error;
  }
  // Makes every copy durable: fsync for one, else one syncfs per file
  // system the copies are on (it writes their data and commits the file
  // system's journal once, where an fsync each would commit it once each).
  int SyncAll() const {
    if (fds.size() == 1) return ::fsync(fds.front()) != 0 ? errno : 0;
    std::vector<dev_t> synced;
    for (int fd : fds) {
      struct stat st;
      if (::fstat(fd, &st) != 0) return errno;
      if (std::find(synced.begin(), synced.end(), st.st_dev) != synced.end()) continue;
      if (::syncfs(fd) != 0) return errno;
      synced.push_back(st.st_dev);
    }
    return 0;
  }
};

// How many copies share one sync: bounds what a killed run leaves behind
// under temporary names.
constexpr std::size_t kCopiesPerSync = 64;

}  // namespace

void CopyFileReplacingEach(const std::string& from, const std::vector<std::string>& targets,
                           const std::function<void(std::size_t)>& before_rename,
                           const std::function<void(std::size_t)>& renamed) {
  if (targets.empty()) return;
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    int error = errno;
    if (error == ENOENT) {
      throw Error(err::kFileNotFound,
                  "File not found: '" + from + "' (copying it to '" + targets.front() + "')");
    }
    ThrowCopyError(from, targets.front(), error);
  }
  struct stat st;
  if (::fstat(in.get(), &st) != 0) ThrowCopyError(from, targets.front(), errno);
  if (!S_ISREG(st.st_mode)) {
    ThrowCopyError(from, targets.front(), S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }

  // Not zeroed: every byte is read into before it is written.
  const std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
  for (std::size_t first = 0; first < targets.size(); first += kCopiesPerSync) {
    const std::size_t end = std::min(targets.size(), first + kCopiesPerSync);
    PendingCopies copies;
    // A copy that fails ends the group there; the ones before it are still
    // synced and renamed, as copying one at a time would have left them.
    std::size_t failed = end;
    int failure = 0;
    for (std::size_t k = first; k < end && failed == end; ++k) {
      std::string temp = DirectoryOf(targets[k]) + "/.relamor-copy.XXXXXX";
      const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
      if (fd < 0) {
        failed = k;
        failure = errno;
        break;
      }
      copies.temps.push_back(std::move(temp));
      copies.fds.push_back(fd);
      int error = ::fchmod(fd, st.st_mode & 0777) == 0 ? 0 : errno;
      if (error == 0 && ::lseek(in.get(), 0, SEEK_SET) != 0) error = errno;
      if (error == 0) error = CopyBytes(in.get(), fd, buffer.get());
      if (error != 0) {
        ::close(fd);
        copies.fds.pop_back();
        ::unlink(copies.temps.back().c_str());
        copies.temps.pop_back();
        failed = k;
        failure = error;
      }
    }
    if (!copies.fds.empty()) {
      int error = copies.SyncAll();
      const int closed = copies.CloseAll();
      if (error == 0) error = closed;
      if (error != 0) ThrowCopyError(from, targets[first], error);
    }
    for (std::size_t k = first; k < failed; ++k) {
      if (before_rename) before_rename(k);
      const std::string& temp = copies.temps[k - first];
      if (::rename(temp.c_str(), targets[k].c_str()) != 0) ThrowCopyError(from, targets[k], errno);
      ++copies.renamed;
      if (renamed) renamed(k);
    }
    if (failed != end) ThrowCopyError(from, targets[failed], failure);
  }
}

// Writes all of `bytes` to `fd` and syncs it; 0, or the errno of the
// failing call.
static int WriteAllAndSync(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t put = ::write(fd, p, left);
    if (put < 0) {
      if (errno != EINTR) return errno;
      continue;
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
  return ::fsync(fd) != 0 ? errno : 0;
}

bool WriteFileReplacing(const std::string& path, const std::string& bytes, std::string* reason) {
  std::string temp = DirectoryOf(path) + "/.relamor-write.XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  int error = out.get() < 0 ? errno : 0;
  if (error == 0 && ::fchmod(out.get(), CreatedFileMode()) != 0) error = errno;
  if (error == 0) error = WriteAllAndSync(out.get(), bytes);
  if (out.get() >= 0 && out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return true;
  ::unlink(temp.c_str());
  *reason = "cannot write '" + path + "': " + std::strerror(error);
  return false;
}

unsigned CreatedFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

namespace {

long long Nanoseconds(const struct timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileIdentity IdentityFromStat(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.mtime_ns = Nanoseconds(st.st_mtim);
  id.ctime_ns = Nanoseconds(st.st_ctim);
  return id;
}

// FNV-1a over the bytes read from `fd`, as 16 hex digits; "" on a failed
// read. The checksum of earlier builds, still read to compare with a state
// they recorded.
std::string LegacyChecksumOfFd(int fd) {
  std::uint64_t hash = 1469598103934665603ULL;
  std::vector<unsigned char> buffer(1 << 16);
  while (true) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    for (ssize_t i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 1099511628211ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

constexpr std::uint64_t kPrime1 = 11400714785092275441ULL;
constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
constexpr std::uint64_t kPrime3 = 1609587929392839161ULL;
constexpr std::uint64_t kPrime4 = 9650029242287828579ULL;
constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;

std::uint64_t RotateLeft(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

std::uint64_t Word(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  return RotateLeft(lane + word * kPrime2, 31) * kPrime1;
}

// A 64-bit hash of the bytes read from `fd`, as "x" and 16 hex digits; ""
// on a failed read. Four lanes take 8-byte words in turn (xxHash64's round:
// multiply, rotate, multiply) and are folded at the end with the length and
// the last bytes, so a database of hundreds of megabytes hashes at about the
// speed it is read; FNV-1a's one multiply per byte took a second per 250 MB.
std::string ChecksumOfFd(int fd) {
  constexpr std::size_t kBlock = 32;
  std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t held = 0;  // bytes at the buffer's start not yet hashed
  std::uint64_t length = 0;
  while (true) {
    const ssize_t got = ::read(fd, buffer.data() + held, buffer.size() - held);
    if (got < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    if (got == 0) break;
    held += static_cast<std::size_t>(got);
    length += static_cast<std::uint64_t>(got);
    const std::size_t whole = held - held % kBlock;
    for (std::size_t at = 0; at < whole; at += kBlock) {
      const unsigned char* p = buffer.data() + at;
      lanes[0] = Round(lanes[0], Word(p));
      lanes[1] = Round(lanes[1], Word(p + 8));
      lanes[2] = Round(lanes[2], Word(p + 16));
      lanes[3] = Round(lanes[3], Word(p + 24));
    }
    std::memmove(buffer.data(), buffer.data() + whole, held - whole);
    held -= whole;
  }
  std::uint64_t hash = RotateLeft(lanes[0], 1) + RotateLeft(lanes[1], 7) +
                       RotateLeft(lanes[2], 12) + RotateLeft(lanes[3], 18);
  for (const std::uint64_t lane : lanes) hash = (hash ^ Round(0, lane)) * kPrime1 + kPrime4;
  hash += length;
  std::size_t at = 0;
  for (; at + 8 <= held; at += 8) {
    hash = RotateLeft(hash ^ Round(0, Word(buffer.data() + at)), 27) * kPrime1 + kPrime4;
  }
  for (; at < held; ++at) hash = RotateLeft(hash ^ (buffer[at] * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  char text[18];
  std::snprintf(text, sizeof text, "x%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// A change made within this many nanoseconds of the last one may keep the
// file's times (the kernel stamps files from a clock that moves in ticks).
constexpr long long kClockTickNs = 50'000'000;

[[noreturn]] void ThrowFolderError(const std::string& what, int error) {
  throw Error(err::kPathFileAccess,
              "Path/File access error: " + what + (error ? std::string(": ") + std::strerror(error) : ""));
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns &&
         (checksum.empty() || other.checksum.empty() || checksum == other.checksum);
}

std::optional<FileIdentity> IdentityOf(const std::string& path, bool checksum_when_needed) {
  Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  FileIdentity id = IdentityFromStat(st);
  if (checksum_when_needed) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool whole_seconds = id.mtime_ns % 1000000000 == 0;
    if (whole_seconds || Nanoseconds(now) - id.mtime_ns < kClockTickNs) {
      id.checksum = ChecksumOfFd(in.get());
    }
  }
  return id;
}

std::string ChecksumOf(const std::string& path, std::string_view like) {
  Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) return std::string();
  // A checksum of 16 hex digits alone is FNV-1a's, which earlier builds recorded.
  return like.size() == 16 ? LegacyChecksumOfFd(in.get()) : ChecksumOfFd(in.get());
}

OwnFolder::~OwnFolder() {
  if (fd_ >= 0) ::close(fd_);
}

bool OwnFolder::Open(const std::string& path, bool create) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_ = path;
  if (create && ::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    ThrowFolderError("cannot create the folder '" + path + "'", errno);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT && !create) return false;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ThrowFolderError("the folder '" + path + "' is a symbolic link; it is not followed", 0);
    }
    ThrowFolderError("cannot open the folder '" + path + "'", error == ENOTDIR ? ENOTDIR : error);
  }
  struct stat st;
  const int error = ::fstat(fd, &st) != 0 ? errno : 0;
  if (error != 0 || st.st_uid != ::geteuid()) {
    ::close(fd);
    if (error != 0) ThrowFolderError("cannot read the folder '" + path + "'", error);
    ThrowFolderError("the folder '" + path + "' belongs to user " + std::to_string(st.st_uid) +
                         ", not to this user (" + std::to_string(::geteuid()) + ")",
                     0);
  }
  fd_ = fd;
  return true;
}

std::optional<std::string> OwnFolder::Read(const std::string& name) const {
  Fd in(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    ThrowFolderError("cannot read '" + PathOf(name) + "'" +
                         (errno == ELOOP ? " (a symbolic link; it is not followed)" : ""),
                     errno == ELOOP ? 0 : errno);
  }
  struct stat st;
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    ThrowFolderError("'" + PathOf(name) + "' is not a regular file", 0);
  }
  std::string bytes;
  char buffer[4096];
  while (true) {
    const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowFolderError("cannot read '" + PathOf(name) + "'", errno);
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

std::optional<FileIdentity> OwnFolder::Identity(const std::string& name) const {
  struct stat st;
  if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return IdentityFromStat(st);
}

namespace {

// Makes a fresh file under a temporary name in the folder `dir_fd`
// (exclusive create, no link followed); returns its descriptor and name.
int CreateTemporaryAt(int dir_fd, const std::string& name, unsigned mode, std::string* temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".new";
    const int fd = ::openat(dir_fd, temp->c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

void OwnFolder::Write(const std::string& name, const std::string& bytes) const {
  std::string temp;
  Fd out(CreateTemporaryAt(fd_, name, CreatedFileMode(), &temp));
  int error = out.get() < 0 ? errno : 0;
  if (error == 0) error = WriteAllAndSync(out.get(), bytes);
  if (out.get() >= 0 && out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0) error = errno;
  if (error == 0 && ::fsync(fd_) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(fd_, temp.c_str(), 0);
    ThrowFolderError("cannot write '" + PathOf(name) + "'", error);
  }
}

void OwnFolder::CopyIn(const std::string& from, const std::string& name) const {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  int error = in.get() < 0 ? errno : 0;
  if (error == 0 && ::fstat(in.get(), &st) != 0) error = errno;
  if (error == 0 && !S_ISREG(st.st_mode)) error = EINVAL;
  std::string temp;
  Fd out(error == 0 ? CreateTemporaryAt(fd_, name, 0600, &temp) : -1);
  if (error == 0 && out.get() < 0) error = errno;
  if (error == 0 && ::fchmod(out.get(), st.st_mode & 0777) != 0) error = errno;
  if (error == 0) {
    const std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    error = CopyBytes(in.get(), out.get(), buffer.get());
  }
  if (error == 0 && ::fsync(out.get()) != 0) error = errno;
  if (out.get() >= 0 && out.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0) error = errno;
  if (error == 0 && ::fsync(fd_) != 0) error = errno;
  if (error != 0) {
    if (!temp.empty()) ::unlinkat(fd_, temp.c_str(), 0);
    ThrowCopyError(from, PathOf(name), error);
  }
}

void OwnFolder::CopyOut(const std::string& name, const FileIdentity& expected,
                        const std::string& to) const {
  Fd in(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) ThrowCopyError(PathOf(name), to, errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) ThrowCopyError(PathOf(name), to, errno);
  const FileIdentity now = IdentityFromStat(st);
  if (!S_ISREG(st.st_mode) || !now.SameFile(expected) || now.size != expected.size ||
      now.mtime_ns != expected.mtime_ns) {
    ThrowFolderError("'" + PathOf(name) + "' is not the copy this program kept (it was replaced "
                                          "or changed since); it is not restored",
                     0);
  }
  CopyOpenFileReplacing(in.get(), st.st_mode, PathOf(name), to);
}

void OwnFolder::Remove(const std::string& name) const {
  if (::unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT) {
    ThrowFolderError("cannot remove '" + PathOf(name) + "'", errno);
  }
}

std::vector<std::pair<std::string, FileIdentity>> FilesWithPrefix(const std::string& prefix) {
  std::vector<std::pair<std::string, FileIdentity>> files;
  const std::size_t slash = prefix.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
  const std::string start = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return files;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.compare(0, start.size(), start) != 0) continue;
    const std::string path = (slash == std::string::npos ? "" : dir) + name;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.emplace_back(path, IdentityFromStat(st));
    }
  }
  return files;
}

void RemoveLeftoverCopiesBeside(const std::string& path) {
  const std::string dir = DirectoryOf(path);
  constexpr std::string_view kTempStart = ".relamor-copy.";
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    // mkostemp's names: the start and six characters.
    if (name.size() != kTempStart.size() + 6 || name.compare(0, kTempStart.size(), kTempStart) != 0) {
      continue;
    }
    const std::string temp = dir + "/" + name;
    struct stat st;
    if (::lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(temp.c_str());
  }
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
