// File services of the converters: the template copy, file attributes and
// yielding to the system.
#pragma once

#include <string>

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

}  // namespace relamor::platform
