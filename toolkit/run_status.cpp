#include "toolkit/run_status.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>

#include "toolkit/error.h"
#include "toolkit/safe_rerun.h"

namespace relamor {

namespace {

// The run frame's last line of a successful run.
constexpr std::string_view kSuccessLine = "Data conversion procedure completed successfully";

std::string InDirectory(const std::string& dir, std::string_view name) {
  const std::string base = dir.empty() ? "." : dir;
  return base + (base.back() == '/' ? "" : "/") + std::string(name);
}

std::int64_t MtimeNs(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string Utc(std::time_t t) {
  std::tm tm {};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

// How the last run that wrote a database ended, from the hidden folder's
// state (safe_rerun.h); an unreadable or unsound folder counts as none.
std::optional<RerunState> ReadKeptState(const std::string& new_dir) {
  try {
    return ReadRerunState(new_dir);
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace

DirectoryState ReadDirectoryState(const std::string& new_dir) {
  DirectoryState state;
  struct stat dir_st {};
  const std::string dir = new_dir.empty() ? "." : new_dir;
  if (::stat(dir.c_str(), &dir_st) != 0 || !S_ISDIR(dir_st.st_mode)) {
    state.kind = DirectoryState::Kind::kMissing;
    return state;
  }
  const std::string log_path = InDirectory(new_dir, "RelamorLog.txt");
  const std::optional<RerunState> kept = ReadKeptState(new_dir);
  const bool kept_present = kept.has_value();
  const bool kept_ended = kept && kept->end != LastRunEnd::kWriting;
  struct stat log_st {};
  if (::stat(log_path.c_str(), &log_st) != 0) {
    state.kind = kept_present ? DirectoryState::Kind::kNotEnded
                              : DirectoryState::Kind::kNeverConverted;
    return state;
  }
  state.ended = Utc(log_st.st_mtim.tv_sec);

  // The last line, and the last database and table the log names.
  std::ifstream log(log_path, std::ios::binary);
  std::string line, last, database, table;
  while (std::getline(log, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    last = line;
    if (line.rfind("Opened New database", 0) == 0) {
      database = line.substr(19);
      table.clear();
    } else if (line.rfind("Copying table ", 0) == 0) {
      table = line.substr(14);
    }
  }
  if (last != kSuccessLine) {
    state.kind = kept_present && !kept_ended ? DirectoryState::Kind::kNotEnded
                                             : DirectoryState::Kind::kFailed;
    state.why = last;
    state.where = database.empty() ? "" : database + (table.empty() ? "" : ", table " + table);
    return state;
  }
  state.kind = DirectoryState::Kind::kConverted;
  // Changed since: not as the last run recorded it, or (nothing recorded: the
  // run did not write it) newer than the log, which a run closes last.
  if (kept && kept->end == LastRunEnd::kTrue) {
    const auto changed = ChangedSince(new_dir, *kept);
    if (changed.empty()) return state;
    state.kind = DirectoryState::Kind::kInUseSince;
    for (const auto& [name, how] : changed) {
      state.changed += (state.changed.empty() ? "" : ", ") + name + " " + how;
      struct stat st {};
      if (::stat(InDirectory(new_dir, name).c_str(), &st) == 0 &&
          (state.since.empty() || Utc(st.st_mtim.tv_sec) > state.since)) {
        state.since = Utc(st.st_mtim.tv_sec);
      }
    }
    if (state.since.empty()) state.since = "the last run";
    return state;
  }
  struct stat db_st {};
  if (::stat(InDirectory(new_dir, "qorsite.mdb").c_str(), &db_st) != 0) return state;
  if (MtimeNs(db_st) > MtimeNs(log_st)) {
    state.kind = DirectoryState::Kind::kInUseSince;
    state.since = Utc(db_st.st_mtim.tv_sec);
    state.changed = "qorsite.mdb changed";
  }
  return state;
}

int PrintDirectoryState(const std::string& new_dir, std::string_view program_name,
                        std::ostream& out, std::ostream& err) {
  const DirectoryState state = ReadDirectoryState(new_dir);
  const std::string dir = new_dir.empty() ? "." : new_dir;
  std::ostringstream line;
  line << dir << ": ";
  switch (state.kind) {
    case DirectoryState::Kind::kMissing:
      err << program_name << ": the new directory '" << dir << "' does not exist\n";
      return 73;
    case DirectoryState::Kind::kNeverConverted:
      line << "never converted (no run log, no kept state in .relamor/)";
      break;
    case DirectoryState::Kind::kNotEnded:
      line << "the last run has not ended (it was killed, or it is still going)";
      if (!state.where.empty()) line << "; it was in " << state.where;
      if (!state.ended.empty()) line << "; its log was last written " << state.ended;
      break;
    case DirectoryState::Kind::kFailed:
      line << "the last run failed (ended " << state.ended << ")";
      if (!state.where.empty()) line << " in " << state.where;
      line << ": " << state.why;
      break;
    case DirectoryState::Kind::kConverted:
      line << "converted (ended " << state.ended << "), unchanged since";
      break;
    case DirectoryState::Kind::kInUseSince:
      line << "converted (ended " << state.ended << "), in use since " << state.since << " ("
           << state.changed << " since the run ended; a repeat is refused, see --again)";
      break;
  }
  errno = 0;
  out << line.str() << "\n" << std::flush;
  if (!out) {
    out.clear();
    err << program_name << ": write error on standard output\n";
    return 74;
  }
  return 0;
}

}  // namespace relamor
