// Drives the special writers directly, inside a real run frame, on a small
// installation: the harness opens the databases and the recordsets the way
// the fixed-path table loop does and then calls one writer.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "tests/support/installation.h"
#include "toolkit/conversion.h"
#include "toolkit/error.h"
#include "toolkit/run_frame.h"

namespace relamor::testing {

class WriterHarness : public Conversion {
 public:
  explicit WriterHarness(RunFrame& frame, CopyRules rules = CopyRules::kFixedPath)
      : Conversion(frame, rules) {}

  // Opens old/<name>.mdb (read-only) and new/<name>.mdb.
  void Open(const std::string& name = "qorsite") {
    old_db_ =
        frame_.engine().OpenDatabase(frame_.old_dir() + name + ".mdb", db::OpenMode::kReadOnly);
    new_db_ = frame_.engine().OpenDatabase(frame_.new_dir() + name + ".mdb");
  }

  // The state a writer finds for the mapping rows of `sno` in `export`.
  void Prepare(long sno) {
    mapping_rows_ =
        new_db_.OpenRecordset("select * from export where sno=?", {Value{std::int64_t{sno}}});
    mapping_rows_.MoveFirst();
    mapping_rows_.MoveLast();
    new_table_ = new_db_.OpenRecordset(NewTableName());
    old_table_ = old_db_.OpenRecordset(ToText(mapping_rows_.Get("oldtablename")));
    mapping_rows_.MoveFirst();
  }

  void Close() {
    old_db_.Close();
    new_db_.Close();
  }

  std::int16_t& last_customer() { return LastCustomerNumber; }
  bool old_table_at_end() const { return old_table_.Eof(); }
  Value mapping_sno() const { return mapping_rows_.Get("sno"); }
  std::string mapping_new_field() const { return ToText(mapping_rows_.Get("newdbfieldname")); }
};

struct FrameRun {
  int status = -1;
  std::optional<Error> error;  // the Error that ended the run, if one did
};

// Runs `body` in a run frame of `inst` ("<old>,<new>", its registry) and
// returns the exit status and the Error that took the error path.
inline FrameRun RunWriters(Installation& inst, const std::function<void(WriterHarness&)>& body,
                           CopyRules rules = CopyRules::kFixedPath) {
  FrameRun run;
  ::testing::internal::CaptureStderr();
  run.status = RunFrame::RunWith(inst.old_dir() + "," + inst.new_dir(), inst.registry(),
                                 "relamor2035", [&](RunFrame& frame) {
                                   WriterHarness harness(frame, rules);
                                   try {
                                     body(harness);
                                   } catch (const Error& e) {
                                     run.error = e;
                                     throw;
                                   }
                                 });
  ::testing::internal::GetCapturedStderr();
  return run;
}

// The mapping table as every new database carries it.
inline constexpr const char* kExportTable =
    "CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),"
    " newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO, releaseversion LONG);\n";

}  // namespace relamor::testing
