// What the layout promises and the compiler cannot hold: the database layer
// names no product table or column, one file opens savepoints, and no writer
// reads the copy strategy (TryShortcut in copy/shortcut.h decides).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

// Each source file below `folder` of the tree with its text.
template <typename F>
void ForEachSource(const std::string& folder, F&& f) {
  for (const auto& entry : fs::recursive_directory_iterator(std::string(RELAMOR_SOURCE_DIR) + "/" +
                                                            folder)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".cpp" || ext == ".h") f(entry.path().string(), FileBytes(entry.path().string()));
  }
}

TEST(Layout, DatabaseLayerNamesNoProductTable) {
  const std::regex product(
      "\\b(channelID|siteID|customerID|customers|EXCCS|CAT|Sites|qorsite|qordxxx|qorstat|"
      "qorreleases|export|export3035|cmdidguid|cmdid|boards|boardtype|channel|prompt|"
      "modemconnection|ipconnection|serialconnection)\\b",
      std::regex::icase);
  ForEachSource("toolkit/db", [&](const std::string& path, const std::string& text) {
    std::smatch m;
    EXPECT_FALSE(std::regex_search(text, m, product)) << path << " names " << m.str();
  });
}

TEST(Layout, OneFileOpensSavepointsAndNoWriterReadsTheStrategy) {
  // Statements are written in capitals; the dialect's word lists are not.
  const std::regex savepoint("\"(SAVEPOINT|RELEASE|ROLLBACK TO) ");
  const std::regex strategy("CopyStrategy::|TriesShortcuts|CopyStrategyFromEnvironment");
  for (const char* folder : {"toolkit", "relamor", "relamor2035", "relamor3035"}) {
    ForEachSource(folder, [&](const std::string& path, const std::string& text) {
      if (!path.ends_with("/toolkit/db/set_write.cpp")) {
        EXPECT_FALSE(std::regex_search(text, savepoint)) << path;
      }
      if (path.find("/toolkit/writers/") != std::string::npos ||
          path.find("/relamor2035/") != std::string::npos) {
        EXPECT_FALSE(std::regex_search(text, strategy)) << path;
      }
    });
  }
}

}  // namespace
}  // namespace relamor::testing
