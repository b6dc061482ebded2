#include "toolkit/safe_rerun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include "toolkit/error.h"
#include "toolkit/platform/files.h"

namespace relamor {

namespace {

// The new databases a run changes in place; the others come from the
// template or are only read.
constexpr const char* kWrittenInPlace[] = {"qorsite.mdb"};

struct FileState {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool ended = false;  // size and time recorded at a run's end
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
};

bool StatFile(const std::string& path, FileState* state) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  state->device = st.st_dev;
  state->inode = st.st_ino;
  state->size = st.st_size;
  state->mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool ReadState(const std::string& path, FileState* state) {
  std::ifstream in(path);
  if (!(in >> state->device >> state->inode)) return false;
  state->ended = static_cast<bool>(in >> state->size >> state->mtime_ns);
  return true;
}

// Writes the state file through a temporary file and a rename.
void WriteState(const std::string& path, const FileState& state, bool ended) {
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << state.device << ' ' << state.inode;
    if (ended) out << ' ' << state.size << ' ' << state.mtime_ns;
    out << '\n';
    out.flush();
    if (!out) {
      ::unlink(temp.c_str());
      throw Error(err::kPathFileAccess, "Path/File access error: cannot write '" + temp + "'");
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw Error(err::kPathFileAccess, "Path/File access error: cannot write '" + path +
                                          "': " + std::strerror(error));
  }
}

bool SameFile(const FileState& a, const FileState& b) {
  return a.device == b.device && a.inode == b.inode;
}

// What a run does with a database written in place before reading it.
enum class Rerun {
  kTakeAsItIs,  // no copy kept yet, or no database to restore into
  kReplaced,    // a fresh install since the last run: taken as it is
  kRestore,     // restored from the copy
};

Rerun RerunOf(const std::string& copy, const std::string& state, const std::string& database) {
  FileState recorded, now;
  if (::access(copy.c_str(), F_OK) != 0 || !ReadState(state, &recorded) ||
      !StatFile(database, &now)) {
    return Rerun::kTakeAsItIs;
  }
  const bool untouched_since =
      SameFile(now, recorded) &&
      (!recorded.ended || (now.size == recorded.size && now.mtime_ns == recorded.mtime_ns));
  return untouched_since ? Rerun::kRestore : Rerun::kReplaced;
}

}  // namespace

PristineCopies::PristineCopies(std::string new_dir) {
  const std::string base = new_dir.empty() ? "." : new_dir;
  folder_ = base + (base.back() == '/' ? "" : "/") + ".relamor";
  for (const char* name : kWrittenInPlace) {
    Kept kept;
    kept.name = name;
    kept.database = new_dir + name;
    kept.copy = folder_ + "/" + name;
    kept.state = kept.copy + ".state";
    kept_.push_back(std::move(kept));
  }
}

std::vector<std::string> PristineCopies::Prepare() {
  std::vector<std::string> lines;
  for (Kept& kept : kept_) {
    const Rerun rerun = RerunOf(kept.copy, kept.state, kept.database);
    if (rerun == Rerun::kTakeAsItIs) continue;
    if (rerun == Rerun::kReplaced) {
      // A fresh install: start from it, and keep a new copy before writing.
      ::unlink(kept.copy.c_str());
      ::unlink(kept.state.c_str());
      lines.push_back(kept.database + " was replaced since the last run; it is taken as it is");
      continue;
    }
    // A journal left by an interrupted run belongs to that run's output; it
    // must not be played back into the restored file.
    platform::RemoveDatabaseSideFiles(kept.database);
    platform::CopyFileReplacing(kept.copy, kept.database);
    FileState now;
    if (!StatFile(kept.database, &now)) {
      throw Error(err::kPathFileAccess,
                  "Path/File access error: cannot read '" + kept.database + "' after restoring it");
    }
    WriteState(kept.state, now, /*ended=*/false);
    kept.belongs = true;
    lines.push_back("restored " + kept.database + " from " + kept.copy +
                    " (as the installer left it) before converting again");
  }
  return lines;
}

std::vector<std::pair<std::string, std::string>> PristineCopies::RestoredOnRerun() const {
  std::vector<std::pair<std::string, std::string>> restored;
  for (const Kept& kept : kept_) {
    if (RerunOf(kept.copy, kept.state, kept.database) == Rerun::kRestore) {
      restored.emplace_back(kept.database, kept.copy);
    }
  }
  return restored;
}

void PristineCopies::BeforeFirstWrite(const std::string& path) {
  FileState target;
  if (!StatFile(path, &target)) return;
  for (Kept& kept : kept_) {
    FileState database;
    if (kept.belongs || !StatFile(kept.database, &database) || !SameFile(database, target)) {
      continue;
    }
    Take(kept);
  }
}

void PristineCopies::Take(Kept& kept) {
  if (::mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST) {
    throw Error(err::kPathFileAccess, "Path/File access error: cannot create the folder '" +
                                          folder_ + "': " + std::strerror(errno));
  }
  FileState now;
  if (!StatFile(kept.database, &now)) return;
  // The state first: a copy without its state is never restored.
  WriteState(kept.state, now, /*ended=*/false);
  platform::CopyFileReplacing(kept.database, kept.copy);
  kept.belongs = true;
}

std::string PristineCopies::RecordEnd() {
  std::string reason;
  for (const Kept& kept : kept_) {
    FileState now;
    if (!kept.belongs || !StatFile(kept.database, &now)) continue;
    try {
      WriteState(kept.state, now, /*ended=*/true);
    } catch (const Error& e) {
      if (reason.empty()) reason = e.description();
    }
  }
  return reason;
}

}  // namespace relamor
