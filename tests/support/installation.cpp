#include "tests/support/installation.h"

#include "tests/support/test_db.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace relamor::testing {

namespace {

void ExecScript(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    throw std::runtime_error("cannot create " + path);
  }
  char* message = nullptr;
  // Test files need no durability: skip the syncs that make each statement slow.
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  std::string error = message ? message : "";
  sqlite3_free(message);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error(path + ": " + error);
}

std::string CellText(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
      return "NULL";
    case SQLITE_FLOAT:
      return ExactRealText(sqlite3_column_double(st, i));
    default:
      return reinterpret_cast<const char*>(sqlite3_column_text(st, i));
  }
}

}  // namespace

Installation::Installation() {
  char dir[] = "/tmp/relamor-inst-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  root_ = dir;
  fs::create_directories(old_dir());
  fs::create_directories(new_dir());
  fs::create_directories(ProductKeyDir(registry()));
}

Installation::~Installation() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void Installation::Old(const std::string& name, const std::string& sql) {
  ExecScript(old_dir() + name + ".mdb", sql);
}

void Installation::New(const std::string& name, const std::string& sql) {
  ExecScript(new_dir() + name + ".mdb", sql);
  // A fresh database from the installer: the new directory is taken as it
  // is now, as after removing the hidden folder of earlier runs.
  fs::remove_all(new_dir() + ".relamor");
}

void Installation::FromSample(const std::string& sample) {
  const fs::path base = fs::path(RELAMOR_SOURCE_DIR) / "samples" / sample;
  for (const char* side : {"old", "new"}) {
    for (const auto& entry : fs::directory_iterator(base / side)) {
      if (entry.path().extension() != ".sql") continue;
      ExecScript(root_ + "/" + side + "/" + entry.path().stem().string() + ".mdb",
                 FileBytes(entry.path().string()));
    }
  }
}

ProgramRun Installation::Run(const std::string& program) {
  return Run(program, old_dir() + "," + new_dir());
}

ProgramRun Installation::Run(const std::string& program, const std::string& args,
                             const Environment& env) {
  ChildSetup setup;
  setup.env = env;
  return Run(program, std::vector<std::string>{args}, setup);
}

ProgramRun Installation::Run(const std::string& program, const std::string& args) {
  return Run(program, std::vector<std::string>{args}, ChildSetup{});
}

ProgramRun Installation::Run(const std::string& program, const std::vector<std::string>& args,
                             const ChildSetup& setup) {
  old_bytes_.clear();
  for (const auto& entry : fs::directory_iterator(old_dir())) {
    old_bytes_[entry.path().filename().string()] = FileBytes(entry.path().string());
  }
  return RunProgram(program, args, registry(), setup);
}

std::vector<std::string> Installation::Files(const std::string& side) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root_ + "/" + side)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Installation::NewIntegrityProblems() const {
  std::string problems;
  for (const std::string& name : Files("new")) {
    if (fs::path(name).extension() != ".mdb") continue;
    // Opened for writing, as the next user would: a hot journal is played back.
    sqlite3* conn = nullptr;
    std::string result;
    if (sqlite3_open_v2((new_dir() + name).c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr) ==
        SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(conn, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) result += CellText(st, 0) + "\n";
      }
      if (result.empty()) result = std::string("<") + sqlite3_errmsg(conn) + ">";
      sqlite3_finalize(st);
    }
    sqlite3_close(conn);
    if (result != "ok\n") problems += name + ": " + result;
  }
  return problems;
}

std::string Installation::Log() const { return FileBytes(new_dir() + "RelamorLog.txt"); }

std::string Installation::Result() const {
  const fs::path value = fs::path(ProductKeyDir(registry())) / "RelamorResult";
  return fs::exists(value) ? FileBytes(value.string()) : "<none>";
}

bool Installation::Exists(const std::string& side, const std::string& file) const {
  return fs::exists(root_ + "/" + side + "/" + file);
}

std::string Installation::Dump(const std::string& side, const std::string& db,
                               const std::string& sql_or_table) const {
  const std::string path = root_ + "/" + side + "/" + db + ".mdb";
  sqlite3* conn = nullptr;
  if (sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(conn);
    return "<cannot open " + path + ">";
  }
  const std::string sql = sql_or_table.find(' ') == std::string::npos
                              ? "SELECT * FROM \"" + sql_or_table + "\" ORDER BY rowid"
                              : sql_or_table;
  sqlite3_stmt* st = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(conn, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    out = std::string("<") + sqlite3_errmsg(conn) + ">";
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i) out += "|";
        out += CellText(st, i);
      }
      out += "\n";
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(conn);
  return out;
}

bool Installation::OldUnchanged() const {
  std::map<std::string, std::string> now;
  for (const auto& entry : fs::directory_iterator(old_dir())) {
    now[entry.path().filename().string()] = FileBytes(entry.path().string());
  }
  return now == old_bytes_;
}

std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

std::string LastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string line = text.substr(text.find_last_of('\n') + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::map<std::string, std::string> Installation::Snapshot(const std::string& side) const {
  std::map<std::string, std::string> files;
  const std::string base = root_ + "/" + side;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    if (entry.is_symlink()) {
      files[fs::relative(entry.path(), base).string()] = "-> " + fs::read_symlink(entry).string();
    } else if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), base).string()] = FileBytes(entry.path().string());
    }
  }
  return files;
}

}  // namespace relamor::testing
