// The tables that many tests build their small installations from: the
// mapping table, an old main database of a given release, the old and the
// new layout of the channel table, and the log's success line.
#pragma once

#include <string>

namespace relamor::testing {

inline constexpr const char* kSuccessLine = "Data conversion procedure completed successfully";

// The mapping table as every new database carries it.
inline const std::string kExportTable =
    "CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),"
    " newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO, releaseversion LONG);\n";

// One mapping row of `export`.
inline std::string Map(int sno, const std::string& old_table, const std::string& old_field,
                       const std::string& new_table, const std::string& new_field, int flag,
                       int release = 1) {
  return "INSERT INTO export VALUES (" + std::to_string(sno) + ", '" + old_table + "', '" +
         old_field + "', '" + new_table + "', '" + new_field + "', " + std::to_string(flag) +
         ", " + std::to_string(release) + ");\n";
}

// The sites and customers of an old database of release 3.0 or 3.5, empty.
inline const std::string kOldSites =
    "CREATE TABLE sites (siteID LONG, Name TEXT(50), region TEXT(20));\n"
    "CREATE TABLE customers (id LONG, siteID LONG, Name TEXT(50));\n";
// An old main database of release `product` with service pack `service_pack`
// (SQL text, "NULL" for none): its release row and empty sites and customers.
inline std::string OldMain(const std::string& product, const std::string& service_pack) {
  return "CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, "
         "buildno LONG);\n"
         "INSERT INTO qorreleases VALUES (2, '" + product + "', " + service_pack + ", 1);\n" +
         kOldSites;
}
inline const std::string kOldMain = OldMain("3.5", "0");

// The old channel table: five name fields and the five slot codes.
inline const std::string kOldChannelTable =
    "CREATE TABLE channel (id LONG, siteID LONG, a TEXT(5), b TEXT(5), c TEXT(5), d TEXT(5),"
    " e TEXT(5), slot1 SHORT, slot2 SHORT, slot3 SHORT, slot4 SHORT, slot5 SHORT);\n";
// An old channel row of site `site` with slot codes `slots` ("2, 0, 0, 0, 0").
inline std::string OldChannel(int id, int site, const std::string& slots) {
  return "INSERT INTO channel VALUES (" + std::to_string(id) + ", " + std::to_string(site) +
         ", NULL, NULL, NULL, NULL, NULL, " + slots + ");\n";
}
// The new channel table the channel writer fills.
inline const std::string kNewChannelTable =
    "CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID LONG, channelName TEXT(50),"
    " channeltype TEXT(2));\n";

}  // namespace relamor::testing
