// The state of a new directory, for an operator who asks before (or after) a
// run: --status NEW_DIR. Read-only and without the directory's lock, so it
// also answers while a run is going (it then tells that the last run has not
// ended).
//
// The state is read from what runs leave in the new directory: the run log
// RelamorLog.txt (its last line tells how the last run ended, its "Opened New
// database" and "Copying table" lines where) and the hidden folder .relamor/
// (how the last run that wrote a database ended and what it left, read
// through ReadRerunState and ChangedSince of safe_rerun.h).
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace relamor {

struct DirectoryState {
  enum class Kind {
    kMissing,         // the new directory does not exist
    kNeverConverted,  // no run log and no kept state
    kNotEnded,        // the last run has not ended: killed, or still going
    kFailed,          // the last run ended without success
    kConverted,       // the last run succeeded and qorsite.mdb is as it left it
    kInUseSince,      // the last run succeeded, qorsite.mdb has changed since
  };
  Kind kind = Kind::kNeverConverted;
  std::string ended;   // when the last run ended (the log's time), UTC
  std::string why;     // kFailed, kNotEnded: the log's last line
  std::string where;   // kFailed, kNotEnded: "qord003.mdb, table schedules"
  std::string since;   // kInUseSince: the latest time of a changed database, UTC
  std::string changed; // kInUseSince: "qord003.mdb changed, qorsite.mdb missing"
};

// Reads the state of the new directory `new_dir` (a prefix, as on the
// command line); changes nothing.
DirectoryState ReadDirectoryState(const std::string& new_dir);

// Prints the state as one line on `out` ("NEW_DIR: converted at ...").
// Returns the exit status: 0, or 73 when the directory does not exist.
int PrintDirectoryState(const std::string& new_dir, std::string_view program_name,
                        std::ostream& out, std::ostream& err);

}  // namespace relamor
