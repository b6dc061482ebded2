#include "toolkit/db/refusals.h"

namespace relamor::db {

std::string InFile(std::string_view path) { return " (" + std::string(path) + ")"; }

Error NoSuchField(std::string_view field, std::string_view what, std::string_view path) {
  return Error(err::kItemNotFound, "Item not found in this collection: no field '" +
                                       std::string(field) + "' in " + std::string(what) +
                                       InFile(path));
}

Error NoCurrentRecord(std::string_view what, std::string_view path) {
  return Error(err::kNoCurrentRecord, "No current record in " + std::string(what) + InFile(path));
}

Error RefusedIn(const Error& refused, std::string_view path) {
  return Error(refused.number(), refused.description() + InFile(path));
}

Error NullRefused(std::string_view table, std::string_view column, std::string_view context) {
  return Error(err::kNullNotAllowed, "The field '" + std::string(table) + "." +
                                         std::string(column) + "' cannot contain a Null value" +
                                         std::string(context));
}

Error DuplicateRefused(std::string_view table, std::string_view row, std::string_view context) {
  return Error(err::kDuplicateValue, "Duplicate value refused: table '" + std::string(table) +
                                         "' already has a row with " + std::string(row) +
                                         std::string(context));
}

std::string ColumnIs(std::string_view column, const Value& value) {
  return std::string(column) + " = " + Describe(value);
}

}  // namespace relamor::db
