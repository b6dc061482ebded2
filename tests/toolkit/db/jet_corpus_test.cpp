// Every file of a corpus of real Jet and ACE files that other projects' test
// suites wrote (../shared/jet-corpus/public.tar.xz beside the source folder,
// or the file, or unpacked folder, RELAMOR_JET_CORPUS names), opened as an
// old database is and compared with mdb-export: no file refused, every table
// with mdb-export's rows (in any order: mdb-export reads a moved row where it
// lies, not where it stands), every value equal where mdb-export prints it
// without loss. Skipped when the corpus or mdb-export is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_db.h"
#include "toolkit/db/database.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using testing::TempDir;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The standard output of a shell command.
std::string Output(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

std::vector<std::string> Split(const std::string& s, const std::string& by) {
  std::vector<std::string> out;
  std::size_t from = 0;
  while (from <= s.size()) {
    std::size_t to = s.find(by, from);
    if (to == std::string::npos) to = s.size();
    out.push_back(s.substr(from, to - from));
    from = to + by.size();
  }
  return out;
}

// Separators that no value of the corpus holds; mdb-export puts text, memo,
// dates and byte strings between quotes, numbers not.
const std::string kField = "\x1f<F>\x1f", kRow = "\x1e<R>\x1e", kNull = "\x1c<N>\x1c",
                  kQuote = "\x1d<Q>\x1d";

// Whether our value and mdb-export's text of it agree, or mdb-export's text
// is one it prints with loss: empty text, characters it cannot convert
// ("?"), dates before 1900 or in 9999, GUIDs, calculated and Date/Time
// Extended columns (of which it prints the stored bytes or nothing).
bool Agrees(const Value& ours, const std::string& printed) {
  if (printed == kNull) {  // also how it prints an empty text or byte string
    const auto* text = std::get_if<std::string>(&ours);
    const auto* bytes = std::get_if<Blob>(&ours);
    return IsNull(ours) || (text && text->empty()) || (bytes && bytes->bytes.empty());
  }
  const bool quoted = printed.size() >= 2 * kQuote.size() && printed.rfind(kQuote, 0) == 0 &&
                      printed.compare(printed.size() - kQuote.size(), kQuote.size(), kQuote) == 0;
  const std::string theirs =
      quoted ? printed.substr(kQuote.size(), printed.size() - 2 * kQuote.size()) : printed;
  // Text stays text and a number a number (an exact decimal is text).
  if (quoted != (std::holds_alternative<std::string>(ours) || std::holds_alternative<Blob>(ours))) {
    const auto* text = std::get_if<std::string>(&ours);
    char* end = nullptr;
    if (quoted || text == nullptr || text->empty()) return false;
    std::strtod(text->c_str(), &end);
    if (*end != '\0') return false;
  }
  if (theirs.empty() || theirs.find('?') != std::string::npos) return true;
  if (IsNull(ours)) return false;
  if (const auto* n = std::get_if<std::int64_t>(&ours)) {
    if (*n == -1 && theirs == "1") return true;  // Yes/No
    char* end = nullptr;
    const double d = std::strtod(theirs.c_str(), &end);
    return (*end == '\0' && d == static_cast<double>(*n)) || std::to_string(*n) == theirs;
  }
  if (const auto* d = std::get_if<double>(&ours)) {
    char* end = nullptr;
    const double t = std::strtod(theirs.c_str(), &end);
    // It prints a Single with 8 digits, a Double with 16.
    char single[32];
    std::snprintf(single, sizeof single, "%.8g", static_cast<double>(static_cast<float>(*d)));
    return *end == '\0' && (theirs == single || std::fabs(t - *d) <= 1e-15 * std::fabs(*d));
  }
  if (const auto* b = std::get_if<Blob>(&ours)) {
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : b->bytes) {
      text += hex[c >> 4];
      text += hex[c & 15];
    }
    return text == theirs;
  }
  const std::string& text = std::get<std::string>(ours);
  if (text == theirs) return true;
  if (text.size() == 38 && text[0] == '{') return true;  // a GUID
  // A date: ours drops a midnight time; mdb-export's years before 1900 and
  // in 9999 are wrong.
  if (theirs.size() == 19 && theirs[4] == '-' && theirs[13] == ':') {
    if (theirs < "1900" || theirs.rfind("9999", 0) == 0 || theirs.find("-00 ") != std::string::npos ||
        text < "1900") {
      return true;
    }
    return text + " 00:00:00" == theirs || text.substr(0, 19) == theirs;
  }
  // An exact decimal: mdb-export pads the scale with zeros.
  char* end = nullptr;
  std::strtod(theirs.c_str(), &end);
  if (*end == '\0') {
    std::string a = text, b = theirs;
    for (std::string* s : {&a, &b}) {
      if (s->find('.') == std::string::npos) continue;
      while (s->back() == '0') s->pop_back();
      if (s->back() == '.') s->pop_back();
    }
    return a == b;
  }
  return false;
}

// Columns of the corpus whose values mdb-export prints wrong (calculated
// columns, Date/Time Extended): only their row count is compared.
bool Lossy(const std::string& file, const std::string& column) {
  static const std::set<std::string> columns = {
      "calcFieldTestV2010.accdb LastFirst", "calcFieldTestV2010.accdb LastFirstLen",
      "calcFieldTestV2010.accdb MonthlySalary", "calcFieldTestV2010.accdb IsRich",
      "calcFieldTestV2010.accdb AllNames", "calcFieldTestV2010.accdb WeeklySalary",
      "calcFieldTestV2010.accdb SalaryTest", "calcFieldTestV2010.accdb BoolTest",
      "calcFieldTestV2010.accdb DecimalTest", "calcFieldTestV2010.accdb FloatTest",
      "calcFieldTestV2010.accdb BigNumTest", "extDateTestV2019.accdb DateNormalCalc",
      "extDateTestV2019.accdb DateExt"};
  const std::size_t cut = file.rfind("__");
  return columns.count(file.substr(cut == std::string::npos ? 0 : cut + 2) + " " + column) > 0;
}

TEST(JetCorpus, EveryFileReadsWithMdbExportsRowsAndValues) {
  const char* chosen = std::getenv("RELAMOR_JET_CORPUS");
  const std::string corpus = chosen && *chosen ? chosen
                                               : RELAMOR_SOURCE_DIR "/../shared/jet-corpus/public.tar.xz";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no Jet corpus at " << corpus;
  if (Output("command -v mdb-export").empty()) GTEST_SKIP() << "mdb-export is not installed";
  // bench/jet_corpus.py times the reads alone, on the corpus unpacked.
  const bool compare = std::getenv("RELAMOR_JET_CORPUS_READ_ONLY") == nullptr;
  TempDir dir;
  std::string folder = corpus;
  if (!std::filesystem::is_directory(corpus)) {
    ASSERT_EQ(std::system(("tar xJf " + Quote(corpus) + " -C " + Quote(dir.path())).c_str()), 0);
    folder = dir.path();
  }
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".mdb" || ext == ".accdb") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  int tables_read = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    Engine engine;
    std::optional<Database> db;
    try {
      db = engine.OpenDatabase(path, OpenMode::kReadOnly);
    } catch (const Error& e) {
      ADD_FAILURE() << "refused: " << e.description();
      continue;
    }
    for (const std::string& table : Split(Output("mdb-tables -1 " + Quote(path)), "\n")) {
      if (table.empty()) continue;
      SCOPED_TRACE(table);
      std::vector<std::string> names;
      std::vector<std::vector<Value>> ours;
      try {
        Recordset rs = db->OpenRecordset("SELECT * FROM [" + table + "]");
        for (int i = 0; i < rs.FieldCount(); ++i) names.push_back(rs.FieldName(i));
        for (; !rs.Eof(); rs.MoveNext()) {
          std::vector<Value> row;
          for (int i = 0; i < rs.FieldCount(); ++i) row.push_back(rs.Get(i));
          ours.push_back(std::move(row));
        }
      } catch (const Error& e) {
        ADD_FAILURE() << "not read: " << e.description();
        continue;
      }
      ++tables_read;
      if (!compare) continue;
      const std::string separators = " -d " + Quote(kField) + " -R " + Quote(kRow) + " -q " +
                                     Quote(kQuote) + " ";
      std::string text = Output("mdb-export" + separators + "-0 " + Quote(kNull) +
                                " -b hex -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' " +
                                Quote(path) + " " + Quote(table) + " 2>/dev/null");
      const std::vector<std::string> their_names = Split(text.substr(0, text.find(kRow)), kField);
      text.erase(0, std::min(text.size(), text.find(kRow) + kRow.size()));
      if (text.size() >= kRow.size() && text.compare(text.size() - kRow.size(), kRow.size(), kRow) == 0) {
        text.resize(text.size() - kRow.size());
      }
      std::vector<std::vector<std::string>> theirs;
      if (!text.empty()) {
        for (const std::string& row : Split(text, kRow)) theirs.push_back(Split(row, kField));
      }
      if (ours.size() != theirs.size()) {
        ADD_FAILURE() << ours.size() << " rows read, mdb-export has " << theirs.size();
        continue;
      }
      // Our column of each of theirs (a column left out has none).
      std::vector<int> column_of;
      for (const std::string& name : their_names) {
        const auto it = std::find(names.begin(), names.end(), name);
        column_of.push_back(it == names.end() || Lossy(path, name)
                                ? -1
                                : static_cast<int>(it - names.begin()));
      }
      const auto same = [&](const std::vector<Value>& a, const std::vector<std::string>& b) {
        if (b.size() != column_of.size()) return false;
        for (std::size_t c = 0; c < b.size(); ++c) {
          if (column_of[c] >= 0 && !Agrees(a[static_cast<std::size_t>(column_of[c])], b[c])) {
            return false;
          }
        }
        return true;
      };
      std::vector<bool> used(ours.size());
      for (std::size_t r = 0; r < theirs.size(); ++r) {
        std::size_t match = r;
        if (used[r] || !same(ours[r], theirs[r])) {
          match = ours.size();
          for (std::size_t o = 0; o < ours.size() && match == ours.size(); ++o) {
            if (!used[o] && same(ours[o], theirs[r])) match = o;
          }
        }
        if (match == ours.size()) {
          std::string row;
          for (const std::string& f : theirs[r]) row += "|" + f.substr(0, 60);
          ADD_FAILURE() << "mdb-export's row " << r << " is not read: " << row;
          continue;
        }
        used[match] = true;
      }
    }
  }
  EXPECT_EQ(tables_read, 189);  // every table mdb-tables lists
}

}  // namespace
}  // namespace relamor::db
