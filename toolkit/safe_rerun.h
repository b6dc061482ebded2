// Safe reruns: a run starts from the new databases as the installer left
// them, never from an earlier run's output, and a repeat never destroys what
// was added to a converted installation since.
//
// The hidden folder NEW_DIR/.relamor/ (a real folder owned by the user; a
// link there is refused, never followed) holds
//
//   qorsite.mdb   the new main database as it was before the first run wrote
//                 it (the site databases are made afresh from the template by
//                 every run; qorsite.mdb is written in place)
//   state         how the last run that wrote a database ended, and what it
//                 left (RerunState below), replaced atomically
//
// A run that stops before its first write changes neither. The decision a
// run takes before it writes anything (its log included):
//
//   no state                      the new directory is taken as it is; the
//                                 copy is kept before the first write
//   last run ended True, nothing  converts again from the copy (the same
//   changed since                 conversion again)
//   last run ended True, a new    refused (exit status 76) naming each changed
//   database changed since        file; --again converts again from the copy,
//                                 discarding the changes; removing the folder
//                                 takes the directory as it is now
//   last run ended False, by a    converts again from the copy; a qorsite.mdb
//   stop, or was killed           replaced since (a fresh install) is taken as
//                                 it is, and a new copy kept
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/platform/files.h"

namespace relamor {

// How the last run that wrote a database of the new directory ended.
enum class LastRunEnd {
  kWriting,  // it began writing and recorded no end (killed, or still going)
  kTrue,     // successful end: RelamorResult "True"
  kFalse,    // the error path: "False"
  kStopped,  // an orderly stop after its first write
};

// "writing", "True", "False", "stopped"; and back (nothing for another text).
std::string_view LastRunEndName(LastRunEnd end);
std::optional<LastRunEnd> LastRunEndFromName(std::string_view name);

// What the hidden folder's `state` file records. The text form, one item a
// line, each line a keyword and its fields separated by blanks:
//
//   relamor-state 1
//   program relamor
//   end True
//   recorded <seconds since the epoch>
//   database <device> <inode> <size> <mtime ns> <ctime ns> <checksum|-> <name>
//   copy <device> <inode> <size> <mtime ns> <ctime ns> <checksum|-> <name>
//
// `database` lines: every new database the run wrote (qorsite.mdb, the site
// databases), as the run left it; for kWriting, qorsite.mdb as the run began
// writing (none while the copy was being restored). `copy` lines: the
// pristine copies in the hidden folder, by the name of the database they
// belong to.
struct RerunState {
  struct File {
    std::string name;  // "qorsite.mdb", "qord003.mdb"
    platform::FileIdentity identity;
  };
  std::string program;
  LastRunEnd end = LastRunEnd::kWriting;
  long long recorded_at = 0;
  std::vector<File> databases;
  std::vector<File> copies;

  const File* Database(std::string_view name) const;
  const File* Copy(std::string_view name) const;
};

// The hidden folder of the new directory prefix `new_dir` ("" is the current
// directory): NEW_DIR/.relamor.
std::string HiddenFolderOf(const std::string& new_dir);

// Reads the state of `new_dir`'s hidden folder. Nothing when no run wrote
// there yet (no folder, or no state in it). Throws Error 75 naming the path
// when the folder or the state is a link, the folder is not owned by this
// user, or the state cannot be read or parsed.
std::optional<RerunState> ReadRerunState(const std::string& new_dir);
// Records `state`, replacing the one before atomically (a fresh file,
// synced, renamed into place); makes the folder when missing. Throws Error 75.
void WriteRerunState(const std::string& new_dir, const RerunState& state);

// The names of the recorded databases whose file in `new_dir` is no longer
// the one the state names, as it was then: changed in place, replaced by
// another file, or gone. Each with a few words on how ("changed",
// "replaced by another file", "missing").
std::vector<std::pair<std::string, std::string>> ChangedSince(const std::string& new_dir,
                                                              const RerunState& state);

// The run frame's use of the hidden folder: decides before anything is
// written, acts at the first write, records at the end.
class SafeRerun {
 public:
  // `again`: the forcing option (convert again from the copies, discarding
  // changes made since a successful conversion).
  SafeRerun(std::string new_dir, std::string program, bool again);

  // Before anything is written: reads the state and decides. Returns the
  // reason when the run must be refused (exit status 76), one line naming
  // each changed file and the ways on.
  std::optional<std::string> Assess();

  // Where reads of the new database `name` go until the first write: the
  // pristine copy when the run will restore it, else nothing (the file).
  std::optional<std::string> ReadsFrom(const std::string& name) const;

  // At the run's first write to a database file: restores the copies (or
  // keeps them, for a directory taken as it is) and records "writing".
  // Returns the lines to print on standard error. Throws Error 75 naming the
  // file when a copy cannot be restored or kept, or the state recorded.
  std::vector<std::string> BeginWriting();
  bool writing() const { return writing_; }

  // Notes a new database the run writes (`path` is NEW_DIR + name).
  void Wrote(const std::string& path);

  // At the end of a run that began writing: records how it ended and each
  // database it wrote as it is now. Returns the reason when it could not.
  std::string RecordEnd(LastRunEnd end);

  const std::string& folder() const { return folder_; }

 private:
  enum class Plan { kTakeAsItIs, kRestore };

  std::string new_dir_;
  std::string program_;
  bool again_;
  std::string folder_;
  Plan plan_ = Plan::kTakeAsItIs;
  std::optional<RerunState> previous_;
  std::vector<std::string> notes_;  // printed at the first write
  bool writing_ = false;
  std::vector<RerunState::File> copies_;  // as kept or restored by this run
  std::vector<std::string> written_;      // names, in order of the first write
};

}  // namespace relamor
