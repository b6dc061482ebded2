#include "toolkit/copy/table_plan.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "toolkit/run_frame.h"
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
bool IsFalse(const Value& v) { return FlagIs(v, 0); }
bool IsTrue(const Value& v) { return FlagIs(v, -1); }

// Positions 2 and 4 of a mapping row compare as texts, letter case included;
// a Null on either side is not equal.
bool SameText(const Value& a, const Value& b) {
  return !IsNull(a) && !IsNull(b) && ToText(a) == ToText(b);
}

// Column position as a recordset on the table finds it: exact spelling
// first, then letter case ignored; -1 when the table lacks it.
int IndexOf(const TableColumns& table, std::string_view name) {
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i] == name) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (EqualsNoCase(table.columns[i], name)) return static_cast<int>(i);
  }
  return -1;
}

struct Planner {
  const std::vector<MappingRow>& rows;
  const TableColumns& old_table;
  const TableColumns& new_table;
  TablePlan plan;

  void Move(std::vector<FieldMove>& into, std::size_t i, MoveKind kind) {
    FieldMove m;
    m.mapping_row = i;
    m.kind = kind;
    m.destination = rows[i].new_field;
    m.destination_index = IndexOf(new_table, m.destination);
    if (kind == MoveKind::kCopied) {
      m.source = rows[i].old_field;
      m.source_index = IndexOf(old_table, m.source);
    }
    into.push_back(std::move(m));
  }
  void Copied(std::size_t from, std::vector<FieldMove>& into) {
    for (std::size_t i = from; i < rows.size(); ++i) Move(into, i, MoveKind::kCopied);
  }
  // The moves of a special writer: `kinds` for the mapping rows from
  // `first` on (the last kind repeats for any further row when `open_ended`);
  // fewer mapping rows than `needed` leave the failure to raise.
  void Writer(SpecialWriter writer, std::size_t first, std::initializer_list<MoveKind> kinds,
              std::size_t needed, bool open_ended = false) {
    plan.kind = PlanKind::kWriter;
    plan.writer = writer;
    const std::vector<MoveKind> k(kinds);
    const std::size_t last = open_ended ? rows.size() : std::min(rows.size(), first + k.size());
    for (std::size_t i = first; i < last; ++i) {
      Move(plan.moves, i, k[std::min(i - first, k.size() - 1)]);
      if (writer == SpecialWriter::kPrompt) {
        // The prompt writer takes the field names as they stand.
        FieldMove& m = plan.moves.back();
        m.destination = rows[i].new_field_as_written;
        m.destination_index = IndexOf(new_table, m.destination);
      }
    }
    if (rows.size() < needed) {
      plan.failure = Error(err::kNoCurrentRecord,
                           "No current record: the mapping of table " + rows[0].new_table +
                               " in " + new_table.database + " has " +
                               std::to_string(rows.size()) + " row(s), the writer " +
                               WriterName(writer) + " needs row " +
                               std::to_string(rows.size() + 1));
    }
  }
  void Copy(CopyMode mode) {
    plan.kind = PlanKind::kCopy;
    plan.mode = mode;
  }
  void Nothing(std::string reason) {
    plan.kind = PlanKind::kNothing;
    plan.reason = std::move(reason);
  }
};

}  // namespace

std::vector<MappingRow> ReadMappingRows(db::Recordset& m) {
  std::vector<MappingRow> rows;
  if (m.Eof() && m.Bof()) return rows;
  m.MoveFirst();
  while (!m.Eof()) {
    MappingRow r;
    r.flag = m.Get(kFlagPosition);
    r.pos2 = m.Get(2);
    r.pos4 = m.Get(4);
    r.old_field = TextBeforeBracket(ToText(m.Get("olddbfieldname")));
    r.new_field_as_written = ToText(m.Get("newdbfieldname"));
    r.new_field = TextBeforeBracket(r.new_field_as_written);
    r.old_table = ToText(m.Get("oldtablename"));
    r.new_table = ToText(m.Get("newtablename"));
    rows.push_back(std::move(r));
    m.MoveNext();
  }
  m.MoveFirst();
  return rows;
}

TableColumns ColumnsOf(const db::Database& db, const std::string& table) {
  TableColumns t;
  t.name = table;
  t.database = db.path();
  if (auto columns = db.ColumnNames(table)) {
    t.exists = true;
    t.columns = std::move(*columns);
  }
  return t;
}

const char* ModeLetter(CopyMode mode) {
  static const char* const kLetters[] = {"A", "B", "C", "D", "E", "F", "G"};
  return kLetters[static_cast<int>(mode)];
}

const char* WriterName(SpecialWriter writer) {
  switch (writer) {
    case SpecialWriter::kChannel:
      return "channel";
    case SpecialWriter::kModemConnections:
      return "modemconnection";
    case SpecialWriter::kIpConnections:
      return "ipconnection";
    case SpecialWriter::kSerialConnections:
      return "serialconnection";
    case SpecialWriter::kPrompt:
      return "prompt";
    case SpecialWriter::kCustomers:
      return "Customers";
    case SpecialWriter::kNone:
      break;
  }
  return "";
}

std::string TablePlan::Describe() const {
  switch (kind) {
    case PlanKind::kCopy:
      return std::string("mode ") + ModeLetter(mode);
    case PlanKind::kExccs:
      return "mode A, by category";
    case PlanKind::kWriter:
      return std::string("writer ") + WriterName(writer);
    case PlanKind::kNothing:
      break;
  }
  return "nothing: " + reason;
}

TablePlan PlanTable(const std::vector<MappingRow>& rows, const TableColumns& old_table,
                    const TableColumns& new_table, const PlanRules& rules) {
  Planner p{rows, old_table, new_table, {}};
  TablePlan& plan = p.plan;
  plan.old_table = old_table.name;
  plan.new_table = new_table.name;
  plan.mapping_count = rows.size();
  if (rows.empty()) {
    p.Nothing("no mapping rows");
    return plan;
  }

  if (rules.special_writers) {
    // Chosen by the exact new table name. The fields each writer reads from
    // the mapping rows:
    //   channel           rows 1-4: number, site (copied), name, kind
    //   modemconnection   rows 3 on: copied (rows 1 and 2 name the keys)
    //   ipconnection      row 3: copied
    //   serialconnection  row 3: the field the old row's third field goes to
    //   prompt            rows 1-4: number, modem key, first and second text
    //   Customers         none (fixed names)
    using K = MoveKind;
    const std::string& name = rows.front().new_table;
    if (name == "channel") {
      p.Writer(SpecialWriter::kChannel, 0, {K::kNumbered, K::kCopied, K::kWritten, K::kWritten}, 4);
    } else if (name == "modemconnection") {
      p.Writer(SpecialWriter::kModemConnections, 2, {K::kCopied}, 2, /*open_ended=*/true);
    } else if (name == "ipconnection") {
      p.Writer(SpecialWriter::kIpConnections, 2, {K::kCopied}, 3);
    } else if (name == "serialconnection") {
      p.Writer(SpecialWriter::kSerialConnections, 2, {K::kWritten}, 3);
    } else if (name == "prompt") {
      p.Writer(SpecialWriter::kPrompt, 0, {K::kNumbered, K::kWritten, K::kWritten, K::kWritten}, 4);
    } else if (name == "Customers") {
      p.Writer(SpecialWriter::kCustomers, 0, {}, 0);
    }
    if (plan.kind == PlanKind::kWriter) return plan;
    plan.customers_from_sites_first =
        rows.front().new_table == "Sites" && rows.front().old_table != "systemMarket";
  }

  const std::size_t n = rows.size();
  const Value& f1 = rows[0].flag;
  if (IsFalse(f1) && n > 1) {
    const Value& f2 = rows[1].flag;
    if (IsFalse(f2)) {
      p.Copy(CopyMode::kA);
      if (rows[0].new_table == "EXCCS") plan.kind = PlanKind::kExccs;
      p.Copied(0, plan.moves);
    } else if (IsTrue(f2)) {
      p.Copy(CopyMode::kB);
      plan.log_name = rows[1].new_table;
      p.Move(plan.moves, 0, MoveKind::kCopied);
      p.Move(plan.moves, 1, rows[1].new_table == "Sites" ? MoveKind::kCustomer : MoveKind::kNumbered);
      p.Copied(2, plan.moves);
    } else {
      p.Nothing("the numbering flag of the second mapping row is neither True nor False");
    }
  } else if (IsTrue(f1)) {
    plan.condition = Condition::kNewTableEmpty;
    if (n < 2) {
      p.Nothing("the first numbering flag is True but there is no second mapping row");
      plan.failure = Error(err::kNoCurrentRecord,
                           "No current record: the mapping of table " + rows[0].new_table +
                               " in " + new_table.database +
                               " has 1 row(s), the copy needs row 2");
      return plan;
    }
    const Value& f2 = rows[1].flag;
    if (IsFalse(f2)) {
      p.Copy(CopyMode::kC);
      p.Move(plan.moves, 0, MoveKind::kNumbered);
      p.Copied(1, plan.moves);
    } else if (IsTrue(f2)) {
      p.Copy(n > 2 ? CopyMode::kD : CopyMode::kE);
      p.Move(plan.moves, 0, MoveKind::kNumbered);
      p.Move(plan.moves, 1, MoveKind::kNumbered);
      p.Copied(2, plan.fill);
    } else {
      p.Nothing("the numbering flag of the second mapping row is neither True nor False");
    }
  } else if (IsFalse(f1) && n == 1) {
    if (SameText(rows[0].pos2, rows[0].pos4)) {
      p.Copy(CopyMode::kF);
      if (rules.copy == CopyRules::kFixedPath) {
        plan.condition = Condition::kNewTableEmpty;
      } else {
        plan.condition = Condition::kCountsEqualOrNewEmpty;
        plan.renumber_command_ids =
            rules.site_database && Upper(rows[0].old_table) == "CMDIDGUID";
      }
    } else {
      p.Copy(CopyMode::kG);
    }
    p.Copied(0, plan.moves);
  } else {
    p.Nothing("the numbering flag of the first mapping row is neither True nor False");
  }
  if (plan.kind == PlanKind::kNothing) plan.condition = Condition::kAlways;
  return plan;
}

}  // namespace relamor
