// Placeholder translation: passes statements through unchanged until the
// translator lands.
#include "toolkit/db/dialect.h"

namespace relamor::db {

Translation TranslateStatement(std::string_view statement, const ColumnLookup&) {
  return Translation{std::string(statement), {}, {}};
}

bool JetLike(std::string_view text, std::string_view pattern) { return text == pattern; }

}  // namespace relamor::db
