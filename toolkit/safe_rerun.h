// Safe rerun: a run starts from the new databases as the installer left
// them, never from an earlier run's output.
//
// The site databases are made afresh from the template by every run; the
// new main database qorsite.mdb is written in place. Before the first write
// to it, a run keeps a pristine copy in the hidden folder NEW_DIR/.relamor/:
//
//   .relamor/qorsite.mdb        the file as it was before the first write
//   .relamor/qorsite.mdb.state  "<device> <inode>" of the new qorsite.mdb the
//                               copy belongs to, then, once a run has ended,
//                               " <size> <mtime in ns>" of it as that run
//                               left it
//
// A later run restores the copy first (and says so on standard error) when
// the new qorsite.mdb is still the file the copy belongs to and nobody has
// changed it since the last run ended (a run killed before its end leaves no
// size and time, and its output is restored too). A file replaced since (a
// fresh install into the same directory) is taken as it is, and a new copy is
// kept before it is written.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace relamor {

class PristineCopies {
 public:
  // `new_dir` is the new directory prefix (databases are new_dir + name).
  explicit PristineCopies(std::string new_dir);

  // Before anything reads the new databases: restores the pristine copies
  // of a rerun. Returns the lines to print on standard error (one per
  // database restored or taken as it is). Throws Error 75 naming the file
  // when a copy cannot be restored.
  std::vector<std::string> Prepare();

  // The databases that Prepare would restore, each with its pristine copy,
  // found without changing anything: what --check reads in their place.
  std::vector<std::pair<std::string, std::string>> RestoredOnRerun() const;

  // Before the first write to the database file `path`: keeps its pristine
  // copy when it is one of the databases written in place and none is kept
  // yet. Throws Error 75 naming the file when the copy cannot be made.
  void BeforeFirstWrite(const std::string& path);

  // At the end of a run (any end after the start-up): records size and
  // time of each database the copies belong to. Returns the reason when it
  // could not (the next run then restores the copy anyway).
  std::string RecordEnd();

  // The hidden folder, NEW_DIR/.relamor.
  const std::string& folder() const { return folder_; }

 private:
  struct Kept {
    std::string name;        // qorsite.mdb
    std::string database;    // NEW_DIR + name
    std::string copy;        // folder + "/" + name
    std::string state;       // copy + ".state"
    bool belongs = false;    // the copy is this run's starting point
  };

  void Take(Kept& kept);

  std::string folder_;
  std::vector<Kept> kept_;
};

}  // namespace relamor
