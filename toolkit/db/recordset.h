// A recordset: rows of a table or of a statement, walked one at a time.
//
// The rows are streamed from SQLite, never loaded as a whole: memory does
// not grow with the table. Rows of a table come in rowid order (the order in
// which they were added). MoveFirst, MoveLast and Requery read the source
// again, so rows added in the meantime are included; until then the walk goes
// on over the rows that were there.
//
// RecordCount is the number of rows visited so far, as in the original
// engine: 0 exactly when the source is empty, 1 for a freshly opened
// non-empty recordset, the full count after MoveLast, and one more for every
// row added and stored through AddNew/Update. Requery starts it afresh.
//
// A recordset on a table, or on a statement that selects from a single table
// without grouping, distinct or union, is updatable: AddNew/Edit, set fields,
// Update. Values are converted to the column's declared type when the row is
// stored (types.h); columns an added row does not write take the table's
// DEFAULT. Other recordsets throw Error 3027 on AddNew and Edit.
//
// Errors: a move or read without a current row throws 3021; a field name the
// recordset lacks 3265 (the description names field, table and database);
// a refused value the number of types.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/db/value.h"

namespace relamor::db {

namespace detail {
struct RecordsetState;
}

enum class RecordsetType { kTable = 1, kDynaset = 2 };

class Recordset;

// One field of the current row (or of the row being added or edited).
class Field {
 public:
  Field(Recordset* rs, int index) : rs_(rs), index_(index) {}
  std::string name() const;
  Value value() const;
  void set_value(Value v);
  int index() const { return index_; }

 private:
  Recordset* rs_;
  int index_;
};

class Recordset {
 public:
  Recordset();  // a closed recordset
  ~Recordset();
  Recordset(Recordset&&) noexcept;
  Recordset& operator=(Recordset&&) noexcept;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  bool is_open() const;
  // The table name or statement it was opened on, for messages.
  const std::string& source() const;
  // "table 'T'" or "statement '...'", as its messages name it.
  std::string What() const;

  bool Eof() const;  // past the last row, and at once when empty
  bool Bof() const;  // before the first row
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void Requery();
  long RecordCount() const;
  // The rowid of the current row, where the source has one (for messages).
  std::optional<std::int64_t> RowId() const;

  void AddNew();
  void Edit();    // the current row; throws 3021 without one
  void Update();  // stores the row being added or edited
  void CancelUpdate();
  // Prepares, without running it, the statement that Update would run to
  // store an added row that writes exactly the fields `written` (positions),
  // and throws what preparing it there throws (a column default that the
  // schema may not evaluate); a check that writes nothing foresees it so.
  void PrepareAdd(const std::vector<int>& written) const;

  int FieldCount() const;
  std::string FieldName(int index) const;
  // Position of a field by name (letter case ignored); throws 3265.
  int FieldIndex(std::string_view name) const;
  Field Fields(int index) { return Field(this, CheckIndex(index)); }
  Field Fields(std::string_view name) { return Field(this, FieldIndex(name)); }

  // Shorthands for Fields(x).value() and Fields(x).set_value(v).
  Value Get(int index) const;
  Value Get(std::string_view name) const { return Get(FieldIndex(name)); }
  void Set(int index, Value v);
  void Set(std::string_view name, Value v) { Set(FieldIndex(name), std::move(v)); }

  void Close();

 private:
  friend class Database;
  explicit Recordset(std::shared_ptr<detail::RecordsetState> state);
  int CheckIndex(int index) const;
  detail::RecordsetState& state() const;

  std::shared_ptr<detail::RecordsetState> state_;
};

inline std::string Field::name() const { return rs_->FieldName(index_); }
inline Value Field::value() const { return rs_->Get(index_); }
inline void Field::set_value(Value v) { rs_->Set(index_, std::move(v)); }

}  // namespace relamor::db
