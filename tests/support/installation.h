// A temporary old/new installation with its own registry root, for tests that
// run the converters end to end. Databases are built from SQL text or from a
// sample under samples/; everything is removed when the object goes away.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace relamor::testing {

class Installation {
 public:
  Installation();  // empty old/ and new/ directories and a registry with the product key
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const std::string& root() const { return root_; }
  std::string old_dir() const { return root_ + "/old/"; }
  std::string new_dir() const { return root_ + "/new/"; }
  std::string registry() const { return root_ + "/registry"; }

  // Creates old/<name>.mdb or new/<name>.mdb from an SQL script. New() is a
  // fresh install: it also removes the new directory's hidden folder.
  void Old(const std::string& name, const std::string& sql);
  void New(const std::string& name, const std::string& sql);
  // Builds every samples/<sample>/{old,new}/*.sql.
  void FromSample(const std::string& sample);

  // Runs a converter with "<old_dir>,<new_dir>" and remembers the old files'
  // bytes beforehand, for OldUnchanged().
  ProgramRun Run(const std::string& program);
  ProgramRun Run(const std::string& program, const std::string& args);
  ProgramRun Run(const std::string& program, const std::vector<std::string>& args,
                 const ChildSetup& setup);
  // With environment variables set for the run.
  ProgramRun Run(const std::string& program, const std::string& args, const Environment& env);

  std::string Log() const;     // the run log's bytes ("" when missing)
  std::string Result() const;  // RelamorResult's bytes, "<none>" when not written
  // Rows of a table in rowid order, one line each, "|" between values, Null
  // as NULL. `side` is "old" or "new"; `db` the base name (qorsite, qord003).
  std::string Dump(const std::string& side, const std::string& db,
                   const std::string& sql_or_table) const;
  bool Exists(const std::string& side, const std::string& file) const;
  // Whether every old file still has the bytes it had before Run(), and
  // the old directory holds no other file.
  bool OldUnchanged() const;
  // The names of the files in a side's directory ("old" or "new"), sorted,
  // hidden ones included.
  std::vector<std::string> Files(const std::string& side) const;
  // Every file below a side's directory (hidden ones and those of .relamor/
  // included) by relative path, with its bytes: two snapshots are equal
  // exactly when nothing was written there.
  std::map<std::string, std::string> Snapshot(const std::string& side) const;
  // "" when every new/*.mdb passes PRAGMA integrity_check; otherwise one
  // line per database that does not.
  std::string NewIntegrityProblems() const;

 private:
  std::string root_;
  std::map<std::string, std::string> old_bytes_;
};

// Log lines joined with CR LF after each, as the run log writes them.
std::string Lines(std::initializer_list<std::string> lines);
// The last line of a run log or of standard error, without its line end.
std::string LastLine(std::string text);

}  // namespace relamor::testing
