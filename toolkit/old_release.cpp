#include "toolkit/old_release.h"

#include "toolkit/text.h"

namespace relamor {

namespace {

bool HasColumn(const db::Database& database, std::string_view table, std::string_view column) {
  if (!database.HasTable(table)) return false;
  for (const db::ColumnDef& c : database.Columns(table)) {
    if (Upper(c.name) == Upper(std::string(column))) return true;
  }
  return false;
}

}  // namespace

OldReleaseGuess GuessOldRelease(db::Engine& engine, const std::string& old_dir) {
  OldReleaseGuess guess;
  try {
    db::Database old_main = engine.OpenDatabase(old_dir + "qorsite.mdb", db::OpenMode::kReadOnly);
    if (old_main.HasTable("qorreleases")) {
      db::Recordset rs = old_main.OpenRecordset(
          "select productname from qorreleases where no = (select max(no) from qorreleases)");
      if (!rs.Eof()) {
        guess.release = ToText(rs.Get(0)).substr(0, 3);
        guess.evidence = "its table qorreleases";
      }
    }
    if (guess.release.empty() && HasColumn(old_main, "sites", "id") &&
        !HasColumn(old_main, "sites", "siteID")) {
      guess.release = "2.0";
      guess.evidence = "no table qorreleases, and table sites numbers its sites in column id";
    }
    if (guess.release.empty()) {
      if (old_main.HasTable("export3035")) {
        guess.release = "3.5";
        guess.evidence = "its table export3035";
      } else if (old_main.HasTable("export")) {
        guess.release = "3.0";
        guess.evidence = "its table export";
      }
    }
    old_main.Close();
  } catch (...) {
    return {};
  }
  if (guess.release == "2.0") {
    guess.program = "relamor2035";
  } else if (guess.release == "3.0") {
    guess.program = "relamor3035";
  } else if (guess.release == "3.5") {
    guess.program = "relamor";
  } else {
    return {};
  }
  return guess;
}

std::string OtherProgramHint(db::Engine& engine, const std::string& old_dir,
                             std::string_view program_name) {
  const OldReleaseGuess guess = GuessOldRelease(engine, old_dir);
  if (guess.program.empty() || guess.program == program_name) return "";
  // relamor converts release 3.0 as well.
  if (guess.release == "3.0" && program_name == "relamor") return "";
  return "; the old installation looks like release " + guess.release + " (" + guess.evidence +
         "): convert it with " + guess.program;
}

}  // namespace relamor
