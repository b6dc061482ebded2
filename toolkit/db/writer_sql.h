// Set-based statements of the special writers (writer_sql.cpp explains how).
// Each one either does what the writer's row walk would do, in one
// statement, or stores nothing and returns nothing; the writer then walks
// the rows, which stores the rows before a failing one and reports its
// error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/db/database.h"

namespace relamor::db {

// The IP connections in one pass: the skeleton rows (`channelID` =
// `channel_ids[k - 1]`, `new_key` = k, in that order) that the walk inserts
// first, each already holding the value the walk then stores into
// `new_value`: every row of `old_table` (in `source`), in the table's order,
// stores its `old_value` into every new row whose channel's site in the new
// `channel` table equals the old row's `old_site`, so the last old row of
// each site decides. Returns the number of edits the walk would make; the
// change observer hears of each, and of each inserted row. Returns nothing,
// having stored nothing, unless it can prove that the walk would succeed
// and store every value unchanged: whole-number channel ids, stored as they
// are, unique in `channel` and all found there; whole-number or Null sites;
// values that already fit their column; a written column that takes a Null
// and that no key, unique index, trigger or CHECK guards.
std::optional<long> InsertFilledConnections(Database& target, const Database& source,
                                            const std::vector<std::int64_t>& channel_ids,
                                            std::string_view new_table, std::string_view new_key,
                                            std::string_view new_value,
                                            std::string_view old_table, std::string_view old_site,
                                            std::string_view old_value);

}  // namespace relamor::db
