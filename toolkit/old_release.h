// Which of the three programs converts an old installation, judged from its
// old qorsite.mdb, so that a run of the wrong program can name the right one.
//
// relamor2035 and relamor3035 detect no release: they convert whatever fits
// their mapping. When such a run fails, or relamor meets a release it cannot
// number, the message says which program the old installation looks made for.
#pragma once

#include <string>
#include <string_view>

#include "toolkit/db/database.h"

namespace relamor {

// The release the old main database old_dir + "qorsite.mdb" looks like and
// why ("3.5 (its qorreleases)"), and the program that converts it; empty
// when it cannot be told or the file cannot be read. Never throws.
struct OldReleaseGuess {
  std::string release;   // "2.0", "3.0", "3.5"
  std::string evidence;  // "its table qorreleases", ...
  std::string program;   // "relamor2035", "relamor3035", "relamor"
};
OldReleaseGuess GuessOldRelease(db::Engine& engine, const std::string& old_dir);

// "; the old installation looks like release 3.5 (its table qorreleases):
// convert it with relamor" when it looks made for another program than
// `program_name`; empty otherwise.
std::string OtherProgramHint(db::Engine& engine, const std::string& old_dir,
                             std::string_view program_name);

}  // namespace relamor
