// Board type fix-up of a site database converted from release 3.0 or 3.5:
// board types above 18 go down by one, then every board takes the name of its
// type from the statistics database qorstat.mdb.
#include "relamor/relamor.h"
#include "toolkit/error.h"

namespace relamor {

void Relamor::FixBoardTypes() {
  new_db_.Execute("update boards set boardtype = boardtype-1 where boardtype > 18");
  frame_.Log({"Reducing boardtype by one wherever it is >18 "});

  const char* const kSetName = "Update Boards Set Name = ? where BoardType = ?";
  if (board_names_) {
    // qorstat.mdb is only read: the names read for an earlier site hold.
    for (const auto& [index, name] : *board_names_) new_db_.Execute(kSetName, {name, index});
    frame_.Log({"Set Name according to new boardtype in",
                static_cast<long>(board_names_->size()), " records"});
    return;
  }
  // From here the pass's old-database slot holds the statistics database.
  old_db_.Close();
  old_db_ = frame_.engine().OpenDatabase(frame_.new_dir() + "qorstat.mdb", db::OpenMode::kReadOnly);
  db::Recordset boards = old_db_.OpenRecordset("select index, name from boards");
  std::vector<std::pair<Value, Value>> names;
  if (!boards.Eof()) boards.MoveFirst();
  while (!boards.Eof()) {
    const Value index = boards.Get("Index");
    if (IsNull(index)) {
      throw Error(err::kInvalidUseOfNull,
                  "Invalid use of Null: a row of boards in qorstat.mdb has no index");
    }
    Value name = boards.Get("Name");
    if (IsNull(name)) name = std::string();  // a missing name is set as the empty text
    new_db_.Execute(kSetName, {name, index});
    names.emplace_back(index, std::move(name));
    boards.MoveNext();
  }
  frame_.Log({"Set Name according to new boardtype in", boards.RecordCount(), " records"});
  boards.Close();
  board_names_ = std::move(names);
}

}  // namespace relamor
