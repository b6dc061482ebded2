// The refusals of the database layer that can be foreseen from a table's
// schema and the values bound for it, each worded in this one place: the
// layer raises them as it reads and stores rows, and a check that reads the
// data against the schema without writing (--check) promises the same words,
// byte for byte.
#pragma once

#include <string>
#include <string_view>

#include "toolkit/db/value.h"
#include "toolkit/error.h"

namespace relamor::db {

// " (<path>)": the database a message names, at its end.
std::string InFile(std::string_view path);

// 3265 for a field that `what` ("table 'T'", "statement '...'") lacks.
Error NoSuchField(std::string_view field, std::string_view what, std::string_view path);
// 3021 for a move, read or edit of `what` without a current row.
Error NoCurrentRecord(std::string_view what, std::string_view path);
// `refused` (a value its column's type refuses, types.h) in the database at `path`.
Error RefusedIn(const Error& refused, std::string_view path);
// 3314 for a Null stored into the NOT NULL column `table`.`column`; `context`
// follows: the statement, if one is named, and InFile.
Error NullRefused(std::string_view table, std::string_view column, std::string_view context);
// 3022 for a row that repeats a key or UNIQUE value of `table`; `row` says
// which ("C = 'v'" items by ColumnIs, or "the same C").
Error DuplicateRefused(std::string_view table, std::string_view row, std::string_view context);
// "C = <value as Describe shows it>".
std::string ColumnIs(std::string_view column, const Value& value);

}  // namespace relamor::db
