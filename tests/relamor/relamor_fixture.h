// Small installations for relamor tests: an old main database of release 3.5
// with empty sites and customers, and a new main database with the release
// table and an empty mapping. Tests add their own tables and mapping rows.
#pragma once

#include <string>

#include "tests/support/installation.h"

namespace relamor::testing {

inline const std::string kOldMain = R"(
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 1);
CREATE TABLE sites (siteID LONG, Name TEXT(50), region TEXT(20));
CREATE TABLE customers (id LONG, siteID LONG, Name TEXT(50));
)";

inline const std::string kReleases = R"(
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 1);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 1);
INSERT INTO qorreleases VALUES (3, '3.5', 1, 1);
INSERT INTO qorreleases VALUES (4, '3.5', 2, 1);
INSERT INTO qorreleases VALUES (5, '4.0', 0, 1);
INSERT INTO qorreleases VALUES (6, '3.5', 12, 1);
)";

inline const std::string kExport = R"(
CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
)";

inline const std::string kNewMain = kReleases + kExport;

// What a site pass of release 3.0 or 3.5 needs besides its mapped tables: the
// boards of the new site database and the statistics database.
inline const std::string kBoards = "CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));\n";
inline const std::string kQorstat = "CREATE TABLE boards (\"index\" LONG, name TEXT(50));\n";

// One mapping row.
inline std::string Map(int sno, const std::string& old_table, const std::string& old_field,
                       const std::string& new_table, const std::string& new_field, int flag,
                       int release = 1) {
  return "INSERT INTO export VALUES (" + std::to_string(sno) + ", '" + old_table + "', '" +
         old_field + "', '" + new_table + "', '" + new_field + "', " + std::to_string(flag) +
         ", " + std::to_string(release) + ");\n";
}

}  // namespace relamor::testing
