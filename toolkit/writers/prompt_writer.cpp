// The prompt table of release 2.0.
//
// An old `prompt` row holds up to five pairs of texts at zero-based positions
// 4/5, 6/7, 8/9, 10/11 and 12/13, and belongs to the new modem connection at
// its position (n-th old prompt row, n-th row of the new modemconnection
// table). A pair is present when its first text is neither Null nor empty;
// the pairs are read in order up to the first one that is absent. Each present
// pair becomes one new prompt row: number (1, 2, 3, ... over the table), the
// modem connection's field at position 1, the first text and the second text
// (Null read as the empty text). The four new fields are named by the first
// four mapping rows, taken as they stand (not cut at "[").
#include <string>
#include <utility>
#include <vector>

#include "toolkit/error.h"
#include "toolkit/writers/special_writers.h"

namespace relamor {

namespace {

constexpr int kFirstPairPosition = 4;
constexpr int kPairCount = 5;
constexpr int kModemKeyPosition = 1;

bool IsEmptyText(const Value& v) { return IsNull(v) || ToText(v).empty(); }

}  // namespace

void WritePromptTable(const TablePlan& plan, TableCopyIo& io) {
  using writer_fields::Destination;
  using writer_fields::Move;
  db::Recordset& old_table = io.old_table;
  db::Recordset& new_table = io.new_table;
  if (new_table.RecordCount() != 0) return;
  if (old_table.RecordCount() <= 0) return;
  db::Recordset connection = io.new_db.OpenRecordset("modemconnection");

  int written = 0;  // prompt numbers handed out so far
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!old_table.Eof()) {
    if (connection.Eof()) {
      throw Error(err::kNoCurrentRecord,
                  "No current record: table " + old_table.source() + " in " + io.old_db.path() +
                      " has more rows than table modemconnection in " + io.new_db.path());
    }
    pairs.clear();
    for (int i = 0; i < kPairCount; ++i) {
      const int position = kFirstPairPosition + 2 * i;
      const Value first = old_table.Get(position);
      if (IsEmptyText(first)) break;
      pairs.emplace_back(ToText(first), ToText(old_table.Get(position + 1)));
    }
    for (auto& [first_text, second_text] : pairs) {
      if (written >= 32767) {
        throw Error(err::kOverflow, "Overflow: more than 32767 prompts for table " +
                                        new_table.source() + " in " + io.new_db.path());
      }
      new_table.AddNew();
      // The fields in mapping-row order, so that the first one missing fails.
      new_table.Set(Destination(Move(plan, 0), new_table), Value{std::int64_t{written + 1}});
      Value modem = connection.Get(kModemKeyPosition);
      new_table.Set(Destination(Move(plan, 1), new_table), std::move(modem));
      new_table.Set(Destination(Move(plan, 2), new_table), std::move(first_text));
      new_table.Set(Destination(Move(plan, 3), new_table), std::move(second_text));
      new_table.Update();
      ++written;
    }
    connection.MoveNext();
    old_table.MoveNext();
  }
  connection.Close();
}

}  // namespace relamor
