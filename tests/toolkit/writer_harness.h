// Drives the special writers directly, inside a real run frame, on a small
// installation: the harness opens the databases and the recordsets the way
// the fixed-path table loop does and then calls one writer.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/installation.h"
#include "toolkit/conversion.h"
#include "toolkit/error.h"
#include "toolkit/run_frame.h"
#include "toolkit/writers/special_writers.h"

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

  // The tables a table loop opens for the mapping rows of `sno` in `export`.
  void Prepare(long sno) {
    table_ = TableRecordsets{};
    table_.sno = Value{std::int64_t{sno}};
    db::Recordset mapping = new_db_.OpenRecordset("select * from export where sno=?", {table_.sno});
    table_.mapping_rows = ReadMappingRows(mapping);
    table_.new_table = new_db_.OpenRecordset(table_.mapping_rows.back().new_table);
    table_.old_table = old_db_.OpenRecordset(table_.mapping_rows.back().old_table);
  }

  void Close() {
    table_ = TableRecordsets{};
    old_db_.Close();
    new_db_.Close();
  }

  // The field-mapped copy of the prepared table.
  CopyResult CopyMappedTable() { return Conversion::CarryOut(PlanOf(table_), table_); }
  // The special writers on the prepared table, with its writer plan.
  // The connection writers try their shortcut first, as in a run.
  void WriteChannelTable() { Write({SpecialWriter::kChannel, relamor::WriteChannelTable, nullptr, nullptr}); }
  void WriteModemConnections() {
    Write({SpecialWriter::kModemConnections, relamor::WriteModemConnections,
           "InsertConnectionsInOrder", relamor::ModemConnectionsInOnePass});
  }
  void WriteIpConnections() {
    Write({SpecialWriter::kIpConnections, relamor::WriteIpConnections, "InsertFilledConnections",
           relamor::IpConnectionsInOnePass});
  }
  void WriteSerialConnections() {
    Write({SpecialWriter::kSerialConnections, relamor::WriteSerialConnections,
           "InsertConnectionsInOrder", relamor::SerialConnectionsInOnePass});
  }
  void WritePromptTable() {
    Write({SpecialWriter::kPrompt, relamor::WritePromptTable, nullptr, nullptr});
  }
  void InsertConnectionRows(const std::string& table, const std::string& type,
                            const std::string& id) {
    relamor::InsertConnectionRows(new_db_, table, type, id);
  }
  void CreateCustomersFromSites() {
    relamor::CreateCustomersFromSites(frame_, strategy_, shortcut_log_, LastCustomerNumber);
  }

  std::int16_t& last_customer() { return LastCustomerNumber; }

  // Any writer on the prepared table, with its writer plan.
  void Write(const WriterForms& forms) {
    PlanRules rules = CurrentPlanRules();
    rules.special_writers = true;
    const TablePlan plan =
        PlanTable(table_.mapping_rows, ColumnsOf(old_db_, table_.old_table.source()),
                  ColumnsOf(new_db_, table_.new_table.source()), rules);
    TableCopyIo io = IoFor(table_);
    CarryOutWriter(forms, plan, io);
  }

 private:
  // Under the general rules the old recordset's count is completed, as the
  // table loop of relamor completes it, before the copy reads a row.
  void OldRowsKnown(TableRecordsets& table, std::optional<long long> rows) override {
    db::Recordset& old_rows = table.old_table;
    if (!rows && rules_ == CopyRules::kGeneral && !old_rows.Eof()) {
      old_rows.MoveLast();
      old_rows.MoveFirst();
    }
    Conversion::OldRowsKnown(table, rows);
  }

  TableRecordsets table_;
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
                                   // A start-up's reads end before its writes.
                                   frame.BeginWriting({});
                                   WriterHarness harness(frame, rules);
                                   try {
                                     body(harness);
                                   } catch (const Error& e) {
                                     run.error = e;
                                     throw;
                                   }
                                 });
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (getenv("SHOWERR")) fprintf(stderr, "%s", err.c_str());
  return run;
}

// Runs one writer on the tables of mapping `sno` of database `db` of `inst`.
inline FrameRun RunWriter(Installation& inst, void (WriterHarness::*write)(), long sno,
                          const std::string& db = "qorsite") {
  return RunWriters(inst, [&](WriterHarness& h) {
    h.Open(db);
    h.Prepare(sno);
    (h.*write)();
  });
}

}  // namespace relamor::testing
