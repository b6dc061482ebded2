// The field-mapped copy of one table.
//
// The mapping rows of a table (one `sno`) say which old field goes to which
// new field. The numbering flags of the first two rows (position 5; True is
// -1, False is 0, anything else is neither) and the number of rows N choose
// one of seven modes:
//
//   A  F1 False, F2 False, N > 1          append, every field copied
//   B  F1 False, F2 True,  N > 1          append, field 2 numbered (or, for
//                                         Sites, linked to its customer)
//   C  F1 True,  F2 False, new table empty   append, field 1 numbered
//   D  F1 True,  F2 True,  N > 2, empty      append fields 1 and 2 numbered,
//                                            then a second pass fills the rest
//   E  F1 True,  F2 True,  N = 2, empty      pass 1 of D only
//   F  F1 False, N = 1, positions 2 and 4 equal     single-field copy
//   G  F1 False, N = 1, positions 2 and 4 differ    single-field update in order
//
// The mapping rows are read once at the start of the call, and the field
// positions resolved once per table, so the per-row work is a handful of
// value moves. Every row is stored by its own update; nothing is undone
// after an error.
#include <optional>
#include <string>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/db/bulk_append.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

constexpr int kFlagPosition = 5;

// True when `v` is the number `n` (a numeric text counts by its value).
bool FlagIs(const Value& v, std::int64_t n) {
  if (IsNull(v)) return false;
  Value number = IsNumber(v) ? v : ParseNumber(ToText(v));
  if (const auto* i = std::get_if<std::int64_t>(&number)) return *i == n;
  if (const auto* d = std::get_if<double>(&number)) return *d == static_cast<double>(n);
  return false;
}

// Positions 2 and 4 of a mapping row compare as texts, letter case included;
// a Null on either side is not equal.
bool SameText(const Value& a, const Value& b) {
  return !IsNull(a) && !IsNull(b) && ToText(a) == ToText(b);
}

}  // namespace

class Conversion::TableCopy {
 public:
  explicit TableCopy(Conversion& c) : c_(c) { LoadMappingRows(); }

  void Run();

 private:
  struct MappingRow {
    Value flag;
    Value pos2;
    Value pos4;
    std::string old_field;  // cut at "["
    std::string new_field;  // cut at "["
    std::string old_table;
    std::string new_table;
    int old_index = -1;  // resolved on first use
    int new_index = -1;
  };

  void LoadMappingRows();
  // The i-th mapping row (0-based); a row past the last is the engine's
  // no-current-record error.
  MappingRow& Row(std::size_t i);
  bool OldTableEmpty() { return c_.old_table_.Eof(); }

  int OldIndex(MappingRow& r);
  int NewIndex(MappingRow& r);
  // Field copy of mapping row `r` into the row being added or edited.
  void CopyField(MappingRow& r) { c_.new_table_.Set(NewIndex(r), c_.old_table_.Get(OldIndex(r))); }
  void CopyFields(std::size_t from) {
    for (std::size_t i = from; i < rows_.size(); ++i) CopyField(rows_[i]);
  }
  // Row number + 1, refused past 32767.
  std::int16_t NumberFor(std::int16_t row_number) const;

  // The set-based way of an append mode: one statement appends a row for
  // every old row, each target taking the field of its mapping row or (with
  // `numbered`) the running number. False when it cannot be used or a row
  // failed; nothing is stored then, and the mode copies row by row.
  struct Target {
    const MappingRow* row;
    bool numbered;
  };
  bool AppendAll(const std::vector<Target>& targets);

  void PlainAppend();                                     // A
  void ExccsByCategory();                                 // A into EXCCS
  void NumberSecondField();                               // B
  void NumberFirstField();                                // C
  void NumberFirstTwoFields(bool fill_rest);              // D, E
  void SingleFieldCopy();                                 // F
  void SingleFieldUpdateInOrder();                        // G
  void LinkSiteToCustomer(MappingRow& r);

  Conversion& c_;
  std::vector<MappingRow> rows_;
};

void Conversion::CopyMappedTable() { TableCopy(*this).Run(); }

void Conversion::TableCopy::LoadMappingRows() {
  db::Recordset& m = c_.mapping_rows_;
  if (m.Eof() && m.Bof()) return;
  m.MoveFirst();
  while (!m.Eof()) {
    MappingRow r;
    r.flag = m.Get(kFlagPosition);
    r.pos2 = m.Get(2);
    r.pos4 = m.Get(4);
    r.old_field = TextBeforeBracket(ToText(m.Get("olddbfieldname")));
    r.new_field = TextBeforeBracket(ToText(m.Get("newdbfieldname")));
    r.old_table = ToText(m.Get("oldtablename"));
    r.new_table = ToText(m.Get("newtablename"));
    rows_.push_back(std::move(r));
    m.MoveNext();
  }
  // Copiers leave the mapping rows on their first row.
  m.MoveFirst();
}

Conversion::TableCopy::MappingRow& Conversion::TableCopy::Row(std::size_t i) {
  if (i >= rows_.size()) {
    std::string table = rows_.empty() ? std::string("?") : rows_.front().new_table;
    throw Error(err::kNoCurrentRecord,
                "No current record: the mapping of table " + table + " in " +
                    c_.new_db_.path() + " has " + std::to_string(rows_.size()) +
                    " row(s), the copy needs row " + std::to_string(i + 1));
  }
  return rows_[i];
}

int Conversion::TableCopy::OldIndex(MappingRow& r) {
  if (r.old_index < 0) r.old_index = c_.old_table_.FieldIndex(r.old_field);
  return r.old_index;
}

int Conversion::TableCopy::NewIndex(MappingRow& r) {
  if (r.new_index < 0) r.new_index = c_.new_table_.FieldIndex(r.new_field);
  return r.new_index;
}

std::int16_t Conversion::TableCopy::NumberFor(std::int16_t row_number) const {
  if (row_number >= 32767) {
    throw Error(err::kOverflow, "Overflow: more than 32767 numbered rows for table " +
                                    rows_.front().new_table + " in " + c_.new_db_.path());
  }
  return static_cast<std::int16_t>(row_number + 1);
}

bool Conversion::TableCopy::AppendAll(const std::vector<Target>& targets) {
  if (OldTableEmpty()) return true;
  std::vector<db::AppendColumn> columns;
  columns.reserve(targets.size());
  for (const Target& t : targets) {
    columns.push_back({t.row->new_field, t.row->old_field, t.numbered});
  }
  return db::AppendFrom(c_.new_db_, c_.old_db_, c_.old_table_.source(), c_.new_table_.source(),
                        columns)
      .has_value();
}

void Conversion::TableCopy::Run() {
  const long n = c_.mapping_count_;
  if (rows_.empty()) return;
  const Value& f1 = rows_[0].flag;
  if (FlagIs(f1, 0) && n > 1) {
    const Value& f2 = Row(1).flag;
    if (FlagIs(f2, 0)) {
      PlainAppend();
    } else if (FlagIs(f2, -1)) {
      NumberSecondField();
    }
  } else if (FlagIs(f1, -1)) {
    if (c_.new_table_.RecordCount() != 0) return;
    const Value& f2 = Row(1).flag;
    if (FlagIs(f2, 0)) {
      NumberFirstField();
    } else if (FlagIs(f2, -1) && n > 2) {
      NumberFirstTwoFields(/*fill_rest=*/true);
    } else if (FlagIs(f2, -1) && n == 2) {
      NumberFirstTwoFields(/*fill_rest=*/false);
    }
  } else if (FlagIs(f1, 0) && n == 1) {
    if (SameText(rows_[0].pos2, rows_[0].pos4)) {
      SingleFieldCopy();
    } else {
      SingleFieldUpdateInOrder();
    }
  }
}

// Mode A. EXCCS rows (exact name) overwrite the new row of their category.
void Conversion::TableCopy::PlainAppend() {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  if (rows_[0].new_table == "EXCCS") {
    ExccsByCategory();
    return;
  }
  std::vector<Target> targets;
  for (const MappingRow& r : rows_) targets.push_back({&r, false});
  if (AppendAll(targets)) return;
  while (!old_rows.Eof()) {
    new_rows.AddNew();
    CopyFields(0);
    new_rows.Update();
    old_rows.MoveNext();
  }
}

// Mode A into "EXCCS" (exact name): every old row overwrites the new row of
// its category.
void Conversion::TableCopy::ExccsByCategory() {
  std::vector<FieldPair> fields;
  for (const MappingRow& r : rows_) fields.push_back({r.new_field, r.old_field});
  c_.UpdateExccsTable(fields);
}

// Mode B.
void Conversion::TableCopy::NumberSecondField() {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  MappingRow& second = rows_[1];
  if (c_.rules_ == CopyRules::kGeneral && !OldTableEmpty()) {
    c_.frame_.Log({"No of records in " + second.new_table, "are", old_rows.RecordCount()});
  }
  const bool sites = second.new_table == "Sites";
  if (!sites) {
    std::vector<Target> targets{{&rows_[0], false}, {&second, true}};
    for (std::size_t i = 2; i < rows_.size(); ++i) targets.push_back({&rows_[i], false});
    if (AppendAll(targets)) return;
  }
  std::int16_t row_number = 0;
  while (!old_rows.Eof()) {
    new_rows.AddNew();
    CopyField(rows_[0]);
    if (sites) {
      LinkSiteToCustomer(second);
    } else {
      new_rows.Set(NewIndex(second), Value{std::int64_t{NumberFor(row_number)}});
    }
    CopyFields(2);
    new_rows.Update();
    old_rows.MoveNext();
    ++row_number;
  }
}

// The customer link of a new Sites row: the customer of its site in the old
// database, when the new database has that customer too; otherwise, for a site
// without an old customer, the next placeholder customer number.
void Conversion::TableCopy::LinkSiteToCustomer(MappingRow& r) {
  db::Recordset& new_rows = c_.new_table_;
  Value site = new_rows.Get("siteID");
  if (IsNull(site)) {
    throw Error(err::kInvalidUseOfNull,
                "Invalid use of Null: a new Sites row has no siteID to look up its customer "
                "(old table " + r.old_table + " in " + c_.old_db_.path() + ")");
  }
  db::Recordset old_customer =
      c_.old_db_.OpenRecordset("select id from customers where siteID = ?", {site});
  if (!old_customer.Eof()) {
    db::Recordset new_customer = c_.new_db_.OpenRecordset(
        "select customerID from customers where customerID = ?", {old_customer.Get(0)});
    if (!new_customer.Eof()) new_rows.Set(NewIndex(r), new_customer.Get(0));
    return;
  }
  if (c_.LastCustomerNumber >= 32767) {
    throw Error(err::kOverflow, "Overflow: customer number past 32767 for a new Sites row in " +
                                    c_.new_db_.path());
  }
  ++c_.LastCustomerNumber;
  new_rows.Set(NewIndex(r), Value{std::int64_t{c_.LastCustomerNumber}});
}

// Mode C.
void Conversion::TableCopy::NumberFirstField() {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  std::vector<Target> targets{{&rows_[0], true}};
  for (std::size_t i = 1; i < rows_.size(); ++i) targets.push_back({&rows_[i], false});
  if (AppendAll(targets)) return;
  std::int16_t row_number = 0;
  while (!old_rows.Eof()) {
    new_rows.AddNew();
    new_rows.Set(NewIndex(rows_[0]), Value{std::int64_t{NumberFor(row_number)}});
    CopyFields(1);
    new_rows.Update();
    old_rows.MoveNext();
    ++row_number;
  }
}

// Modes D and E: pass 1 numbers the first two fields with one number per row;
// pass 2 (mode D) pairs the n-th old row with the n-th new row and fills the
// remaining fields.
void Conversion::TableCopy::NumberFirstTwoFields(bool fill_rest) {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  if (OldTableEmpty()) return;
  // Pass 1 is a plain numbered append, set-based when it can be; pass 2 edits
  // the rows pass 1 stored, row by row.
  if (!AppendAll({{&rows_[0], true}, {&rows_[1], true}})) {
    std::int16_t row_number = 0;
    while (!old_rows.Eof()) {
      new_rows.AddNew();
      Value number{std::int64_t{NumberFor(row_number)}};
      new_rows.Set(NewIndex(rows_[0]), number);
      new_rows.Set(NewIndex(rows_[1]), number);
      new_rows.Update();
      old_rows.MoveNext();
      ++row_number;
    }
  }
  if (!fill_rest) return;
  old_rows.MoveFirst();
  new_rows.MoveFirst();
  while (!old_rows.Eof()) {
    new_rows.Edit();
    CopyFields(2);
    new_rows.Update();
    new_rows.MoveNext();
    old_rows.MoveNext();
  }
}

// Mode F. The general converter appends into an empty new table or, when the
// row counts are equal, overwrites the new table's current row (a one-row
// table such as cmdidguid); the fixed-path converters only append into an
// empty new table.
void Conversion::TableCopy::SingleFieldCopy() {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  MappingRow& r = rows_[0];
  if (c_.rules_ == CopyRules::kFixedPath) {
    if (new_rows.RecordCount() != 0) return;
    if (AppendAll({{&r, false}})) return;
    while (!old_rows.Eof()) {
      new_rows.AddNew();
      CopyField(r);
      new_rows.Update();
      old_rows.MoveNext();
    }
    return;
  }
  const long old_count = old_rows.RecordCount();
  if (old_count != new_rows.RecordCount() && new_rows.RecordCount() != 0) return;
  // Into an empty new table every old row is appended.
  if (new_rows.RecordCount() == 0 && AppendAll({{&r, false}})) return;
  while (!old_rows.Eof()) {
    std::optional<Value> renumbered;
    if (old_count == new_rows.RecordCount()) {
      if (c_.IsSiteDatabasePass() && Upper(r.old_table) == "CMDIDGUID") {
        renumbered = c_.RenumberCommandIds();
      }
      new_rows.Edit();
    } else {
      new_rows.AddNew();
    }
    if (renumbered) {
      OldIndex(r);  // the old field must exist all the same
      new_rows.Set(NewIndex(r), *renumbered);
    } else {
      CopyField(r);
    }
    new_rows.Update();
    old_rows.MoveNext();
  }
}

// Mode G: the n-th old row's value overwrites the field of the n-th new row.
void Conversion::TableCopy::SingleFieldUpdateInOrder() {
  db::Recordset& old_rows = c_.old_table_;
  db::Recordset& new_rows = c_.new_table_;
  while (!old_rows.Eof()) {
    new_rows.Edit();
    CopyField(rows_[0]);
    new_rows.Update();
    old_rows.MoveNext();
    new_rows.MoveNext();
  }
}

}  // namespace relamor
