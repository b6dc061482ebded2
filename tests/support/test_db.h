// Small helpers for tests that work on database files: a temporary
// directory, a database built from SQL text, a table dumped as text.
// Failures throw std::runtime_error naming the file, so the test reports them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "toolkit/db/value.h"
#include "toolkit/error.h"

namespace relamor::testing {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }  // without a trailing "/"
  std::string dir() const { return path_ + "/"; }    // as a directory prefix
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Opens (creating it if missing) the SQLite file at `path` and runs the SQL
// script on it.
void MakeDatabase(const std::string& path, const std::string& sql_text);
// Puts the sample's old main database at `path` in WAL mode with a committed
// users row (99, 'wal', 'W', 0) that only its -wal file holds.
void CommitRowOnlyToWal(const std::string& path);

// The rows of `table` in rowid order, each line ending in "\n", values
// separated by "|": Null as NULL, reals in their shortest form ("2.5", "3"),
// blobs as X'0A1B'. Reads the file read-only.
std::string DumpTable(const std::string& path, const std::string& table);

// The whole content of a file ("" when it cannot be read), and writing one.
// `value` as the shortest text that reads back as the same double, marked
// as a real (".0") where it would read as an integer: dumps tell every digit
// and the storage class.
std::string ExactRealText(double value);

std::string FileBytes(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Values written briefly: I(3), R(2.5), T("x").
inline Value I(std::int64_t n) { return Value{n}; }
inline Value R(double d) { return Value{d}; }
inline Value T(const char* s) { return Value{std::string(s)}; }

// The Error that `body` throws, or Error(0, "no error") when it throws none:
//   EXPECT_EQ(ErrorOf([&] { rs.MoveNext(); }).number(), err::kNoCurrentRecord);
Error ErrorOf(const std::function<void()>& body);

}  // namespace relamor::testing
