// Small installations for relamor tests: the old main database of release 3.5
// (tests/support/fixtures.h) and a new main database with the release table
// and an empty mapping. Tests add their own tables and mapping rows.
#pragma once

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/installation.h"

namespace relamor::testing {

inline const std::string kReleases = R"(
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 1);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 1);
INSERT INTO qorreleases VALUES (3, '3.5', 1, 1);
INSERT INTO qorreleases VALUES (4, '3.5', 2, 1);
INSERT INTO qorreleases VALUES (5, '4.0', 0, 1);
INSERT INTO qorreleases VALUES (6, '3.5', 12, 1);
)";

inline const std::string kNewMain = kReleases + kExportTable;

// What a site pass of release 3.0 or 3.5 needs besides its mapped tables: the
// boards of the new site database and the statistics database.
inline const std::string kBoards = "CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));\n";
inline const std::string kQorstat = "CREATE TABLE boards (\"index\" LONG, name TEXT(50));\n";

}  // namespace relamor::testing
