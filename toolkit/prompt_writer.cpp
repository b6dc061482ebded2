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
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/error.h"

namespace relamor {

namespace {

constexpr int kFirstPairPosition = 4;
constexpr int kPairCount = 5;
constexpr int kModemKeyPosition = 1;

std::string NewField(db::Recordset& mapping_rows) {
  return ToText(mapping_rows.Get("newdbfieldname"));
}

bool IsEmptyText(const Value& v) { return IsNull(v) || ToText(v).empty(); }

}  // namespace

void Conversion::WritePromptTable() {
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() <= 0) return;
  db::Recordset connection = new_db_.OpenRecordset("modemconnection");

  int written = 0;  // prompt numbers handed out so far
  // Positions of the fields the four mapping rows name, once walked.
  std::optional<std::array<int, 4>> fields;
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!old_table_.Eof()) {
    if (connection.Eof()) {
      throw Error(err::kNoCurrentRecord,
                  "No current record: table " + old_table_.source() + " in " + old_db_.path() +
                      " has more rows than table modemconnection in " + new_db_.path());
    }
    pairs.clear();
    for (int i = 0; i < kPairCount; ++i) {
      const int position = kFirstPairPosition + 2 * i;
      const Value first = old_table_.Get(position);
      if (IsEmptyText(first)) break;
      pairs.emplace_back(ToText(first), ToText(old_table_.Get(position + 1)));
    }
    for (auto& [first_text, second_text] : pairs) {
      if (written >= 32767) {
        throw Error(err::kOverflow, "Overflow: more than 32767 prompts for table " +
                                        new_table_.source() + " in " + new_db_.path());
      }
      new_table_.AddNew();
      if (fields) {
        // The same four fields for every pair, as the first pair found them.
        new_table_.Set(fields->at(0), Value{std::int64_t{written + 1}});
        new_table_.Set(fields->at(1), connection.Get(kModemKeyPosition));
        new_table_.Set(fields->at(2), std::move(first_text));
        new_table_.Set(fields->at(3), std::move(second_text));
        new_table_.Update();
      } else {
        // The first pair walks the mapping rows; a missing mapping row or
        // field fails here, before the pair is stored.
        std::array<int, 4> walked{};
        walked[0] = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(walked[0], Value{std::int64_t{written + 1}});
        mapping_rows_.MoveNext();
        Value modem = connection.Get(kModemKeyPosition);
        walked[1] = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(walked[1], std::move(modem));
        mapping_rows_.MoveNext();
        walked[2] = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(walked[2], std::move(first_text));
        mapping_rows_.MoveNext();
        walked[3] = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(walked[3], std::move(second_text));
        new_table_.Update();
        mapping_rows_.MoveFirst();
        fields = walked;
      }
      ++written;
    }
    connection.MoveNext();
    old_table_.MoveNext();
  }
  connection.Close();
}

}  // namespace relamor
