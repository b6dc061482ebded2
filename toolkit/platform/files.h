// File services of the converters: the template copy, file attributes and
// yielding to the system.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace relamor::platform {

// Copies the file `from` to `to`, replacing `to` if it exists. The copy is
// written under a temporary name in the directory of `to`, synced, and renamed
// over `to`, so `to` is never left half-written. Throws Error 53 naming `from`
// when it does not exist, Error 75 naming both paths and the cause for any
// other failure (the temporary file is removed).
void CopyFileReplacing(const std::string& from, const std::string& to);

// Copies `from` over each of `targets`, in their order, as CopyFileReplacing
// does for one, but makes the copies durable together: a group of them is
// written under temporary names, synced at once (one sync of their file
// system instead of one per copy), and then renamed over their targets one
// by one. `before_rename(k)` runs just before the k-th rename, `renamed(k)`
// just after (either may be empty; what they throw ends the copying, the
// copies not yet renamed removed). When a copy fails, the copies before it
// are still synced and renamed, as one at a time would have left them, and
// then the failure is thrown (Error 53 or 75, naming `from` and the target).
void CopyFileReplacingEach(const std::string& from, const std::vector<std::string>& targets,
                           const std::function<void(std::size_t)>& before_rename,
                           const std::function<void(std::size_t)>& renamed);
// Removes the temporary files that a copy killed before its rename (the
// two above) left in the directory of `path`. Only for a caller that no
// other copy into that directory can run beside (a run holds the new
// directory's lock). Never throws; what cannot be removed stays.
void RemoveLeftoverCopiesBeside(const std::string& path);

// Gives `path` "archive only" attributes: a regular file that its owner may
// read and write (the owner's read and write permissions are added, set-id and
// sticky bits cleared, the other permissions kept). Throws Error 53 when the
// file does not exist, Error 75 naming the path when it is not a regular file
// or its mode cannot be changed.
void SetArchiveOnly(const std::string& path);

// Writes `bytes` to `path`, replacing it atomically: a temporary file in the
// same directory, synced, then renamed over `path`, so a reader sees the old
// file or the whole new one. Returns false with `reason` set (naming the
// path and the cause) on failure; the temporary file is removed.
bool WriteFileReplacing(const std::string& path, const std::string& bytes, std::string* reason);

// The mode a file made by this process takes: 0666 less the umask (read
// without changing it for longer than the call).
unsigned CreatedFileMode();

// What tells one file from another and a changed file from the same one: the
// device and inode it lives in, and its size, modification and change times
// (nanoseconds since the epoch). `checksum` (a hash of the bytes: "x" and
// 16 hex digits; 16 hex digits alone from earlier builds) is filled only where the times cannot tell a later change (see
// IdentityOf); empty otherwise.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long mtime_ns = 0;
  long long ctime_ns = 0;
  std::string checksum;

  bool SameFile(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  // The same file, unchanged (the checksum compared when both have one).
  bool operator==(const FileIdentity& other) const;
};

// The identity of the regular file at `path` (a link followed); nothing
// when there is none. With `checksum_when_needed`, the checksum is added
// when the file system keeps whole seconds only or the file was changed so
// recently that a change in the same clock tick would keep its times.
std::optional<FileIdentity> IdentityOf(const std::string& path, bool checksum_when_needed = false);
// The checksum of the file at `path` ("" when it cannot be read), in the
// form of `like` (a checksum recorded before), the current one by default.
std::string ChecksumOf(const std::string& path, std::string_view like = {});

// A folder this program keeps its own files in (the hidden state folder of
// a new directory), held open by descriptor so that nothing inside is
// reached through a link planted on the way: it must be a real folder (not a
// link) owned by this user, and every file in it is read without following a
// link and written under a fresh name (exclusive create, no link followed)
// that is then renamed into place.
class OwnFolder {
 public:
  OwnFolder() = default;
  ~OwnFolder();
  OwnFolder(const OwnFolder&) = delete;
  OwnFolder& operator=(const OwnFolder&) = delete;

  // Opens `path` (making it first, mode 0777 less the umask, when `create`).
  // Returns false when it does not exist and `create` is false. Throws Error
  // 75 naming the path when it is a link, not a folder, not owned by this
  // user, or cannot be opened or made.
  bool Open(const std::string& path, bool create);
  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  std::string PathOf(const std::string& name) const { return path_ + "/" + name; }

  // The bytes of the file `name`; nothing when it does not exist. Throws
  // Error 75 naming the file when it is a link or not a regular file, or
  // cannot be read.
  std::optional<std::string> Read(const std::string& name) const;
  // The identity of the file `name` (no link followed); nothing when it does
  // not exist or is not a regular file.
  std::optional<FileIdentity> Identity(const std::string& name) const;
  // Writes `bytes` as the file `name`, atomically and synced. Throws Error 75.
  void Write(const std::string& name, const std::string& bytes) const;
  // Copies the file at `from` (outside the folder) to `name`, atomically and
  // synced, keeping its permissions. Throws Error 75 naming both.
  void CopyIn(const std::string& from, const std::string& name) const;
  // Copies the file `name`, read without following a link, over `to`
  // (CopyFileReplacing's way), when it is still the file `expected` names
  // (device, inode, size and modification time). Throws Error 75 naming the
  // file when it is not, or when the copy fails.
  void CopyOut(const std::string& name, const FileIdentity& expected, const std::string& to) const;
  // Removes the file `name` (a link itself, never its target); harmless
  // when it does not exist.
  void Remove(const std::string& name) const;

 private:
  int fd_ = -1;
  std::string path_;
};

// Lets pending system events run. There are none on this platform.
inline void YieldToSystem() {}

// The directory that files named `prefix` + name land in, with symbolic
// links, ".", ".." and doubled separators resolved: "/data/old/" and
// "/data/./x/../old//" both give "/data/old"; "/data/old" (no trailing
// separator) gives "/data"; "" gives the current directory. The part of the
// path that does not exist is resolved as written.
std::string ResolvedDirectoryOf(const std::string& prefix);

// Whether the resolved directories `a` and `b` are the same or one lies
// inside the other.
bool SameOrNested(const std::string& a, const std::string& b);

// The regular files whose paths begin with the directory prefix `prefix`
// (the files of its directory whose names begin with its last part), with
// their identities; nothing that cannot be read.
std::vector<std::pair<std::string, FileIdentity>> FilesWithPrefix(const std::string& prefix);

// An exclusive advisory lock (flock) on a directory, held until the object
// goes away or the process ends (also by kill -9). Creates no file.
class DirectoryLock {
 public:
  enum class Outcome { kLocked, kBusy, kMissing, kFailed };

  DirectoryLock() = default;
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Takes the lock without waiting. kBusy: another process holds it;
  // kMissing: `dir` does not exist or is not a directory; kFailed: any other
  // failure, with `*reason` set to its cause.
  Outcome Lock(const std::string& dir, std::string* reason);

 private:
  int fd_ = -1;
};

// A private folder of this process in the temporary directory (TMPDIR, else
// /tmp), named `prefix` + six random characters, held under an exclusive
// flock while the object lives and removed with everything in it when it
// goes. A run killed outright (kill -9, a power loss) cannot remove its
// folders, so making one first removes the folders of the same prefix that
// belong to this user, that no process holds and that were last changed over
// a minute ago (a folder just made is not yet locked).
class PrivateFolder {
 public:
  // Throws Error 75 naming the temporary directory and the cause when no
  // folder can be made there.
  explicit PrivateFolder(const std::string& prefix);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;  // holds the flock
};

// The folders PrivateFolder leaves alone as possibly being made are those
// changed less than this many seconds ago.
inline constexpr int kPrivateFolderGraceSeconds = 60;

// Renames `path` to `path` + ".1" (replacing that file) when `path` exists.
// Throws Error 75 naming both paths when it cannot.
void KeepPreviousFile(const std::string& path);

// Removes the journal, -wal and -shm files SQLite may have left beside the
// database `path`. Throws Error 75 naming the file that cannot be removed.
void RemoveDatabaseSideFiles(const std::string& path);

}  // namespace relamor::platform
