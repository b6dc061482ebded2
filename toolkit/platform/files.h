// File services of the converters: the template copy, file attributes and
// yielding to the system.
#pragma once

#include <string>
#include <string_view>

namespace relamor::platform {

// Copies the file `from` to `to`, replacing `to` if it exists. The copy is
// written under a temporary name in the directory of `to`, synced, and renamed
// over `to`, so `to` is never left half-written. Throws Error 53 naming `from`
// when it does not exist, Error 75 naming both paths and the cause for any
// other failure (the temporary file is removed).
void CopyFileReplacing(const std::string& from, const std::string& to);

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
