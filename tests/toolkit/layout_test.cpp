// What the layout promises and the compiler cannot hold: the database layer
// names no product table or column, one file opens savepoints, and no writer
// reads the copy strategy (TryShortcut in copy/shortcut.h decides).
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>
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

// The words of `text` (runs of letters, digits and underscores), lowered.
std::set<std::string> WordsOf(const std::string& text) {
  std::set<std::string> words;
  std::string word;
  for (const char c : text + ' ') {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.insert(word);
      word.clear();
    }
  }
  return words;
}

bool Contains(const std::string& text, std::initializer_list<const char*> needles) {
  for (const char* needle : needles) {
    if (text.find(needle) != std::string::npos) return true;
  }
  return false;
}

TEST(Layout, DatabaseLayerNamesNoProductTable) {
  const char* product[] = {"channelid", "siteid", "customerid", "customers", "exccs", "cat",
                           "sites", "qorsite", "qordxxx", "qorstat", "qorreleases", "export",
                           "export3035", "cmdidguid", "cmdid", "boards", "boardtype", "channel",
                           "prompt", "modemconnection", "ipconnection", "serialconnection"};
  ForEachSource("toolkit/db", [&](const std::string& path, const std::string& text) {
    const std::set<std::string> words = WordsOf(text);
    for (const char* name : product) EXPECT_EQ(words.count(name), 0u) << path << " names " << name;
  });
}

TEST(Layout, OneFileOpensSavepointsAndNoWriterReadsTheStrategy) {
  // Statements are written in capitals; the dialect's word lists are not.
  for (const char* folder : {"toolkit", "relamor", "relamor2035", "relamor3035"}) {
    ForEachSource(folder, [&](const std::string& path, const std::string& text) {
      if (!path.ends_with("/toolkit/db/set_write.cpp")) {
        EXPECT_FALSE(Contains(text, {"\"SAVEPOINT ", "\"RELEASE ", "\"ROLLBACK TO "})) << path;
      }
      if (path.find("/toolkit/writers/") != std::string::npos ||
          path.find("/relamor2035/") != std::string::npos) {
        EXPECT_FALSE(
            Contains(text, {"CopyStrategy::", "TriesShortcuts", "CopyStrategyFromEnvironment"}))
            << path;
      }
    });
  }
}

}  // namespace
}  // namespace relamor::testing
