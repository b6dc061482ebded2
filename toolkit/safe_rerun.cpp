#include "toolkit/safe_rerun.h"

#include <cerrno>
#include <ctime>
#include <sstream>
#include <utility>

#include "toolkit/error.h"

namespace relamor {

namespace {

constexpr const char* kStateName = "state";
constexpr const char* kStateHeader = "relamor-state 1";
// The new databases a run changes in place, whose copies it keeps; the
// others come from the template or are only read.
constexpr const char* kMainDatabase = "qorsite.mdb";

std::string FormatFile(const char* keyword, const RerunState::File& file) {
  const platform::FileIdentity& id = file.identity;
  std::ostringstream out;
  out << keyword << ' ' << id.device << ' ' << id.inode << ' ' << id.size << ' ' << id.mtime_ns
      << ' ' << id.ctime_ns << ' ' << (id.checksum.empty() ? "-" : id.checksum) << ' '
      << file.name << '\n';
  return out.str();
}

bool ParseFile(std::istringstream& in, RerunState::File* file) {
  platform::FileIdentity& id = file->identity;
  std::string checksum;
  if (!(in >> id.device >> id.inode >> id.size >> id.mtime_ns >> id.ctime_ns >> checksum)) {
    return false;
  }
  id.checksum = checksum == "-" ? "" : checksum;
  in >> std::ws;
  std::getline(in, file->name);
  return !file->name.empty() && file->name.find('/') == std::string::npos;
}

std::string UtcTime(long long seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm {};
  char text[32] = "an unknown time";
  if (::gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

long long Now() { return static_cast<long long>(std::time(nullptr)); }

const RerunState::File* Find(const std::vector<RerunState::File>& files, std::string_view name) {
  for (const RerunState::File& file : files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

}  // namespace

std::string_view LastRunEndName(LastRunEnd end) {
  switch (end) {
    case LastRunEnd::kTrue:
      return "True";
    case LastRunEnd::kFalse:
      return "False";
    case LastRunEnd::kStopped:
      return "stopped";
    default:
      return "writing";
  }
}

std::optional<LastRunEnd> LastRunEndFromName(std::string_view name) {
  for (LastRunEnd end :
       {LastRunEnd::kWriting, LastRunEnd::kTrue, LastRunEnd::kFalse, LastRunEnd::kStopped}) {
    if (LastRunEndName(end) == name) return end;
  }
  return std::nullopt;
}

const RerunState::File* RerunState::Database(std::string_view name) const {
  return Find(databases, name);
}

const RerunState::File* RerunState::Copy(std::string_view name) const { return Find(copies, name); }

std::string HiddenFolderOf(const std::string& new_dir) {
  const std::string base = new_dir.empty() ? "." : new_dir;
  return base + (base.back() == '/' ? "" : "/") + ".relamor";
}

std::optional<RerunState> ReadRerunState(const std::string& new_dir) {
  platform::OwnFolder folder;
  if (!folder.Open(HiddenFolderOf(new_dir), /*create=*/false)) return std::nullopt;
  const std::optional<std::string> text = folder.Read(kStateName);
  if (!text) return std::nullopt;
  RerunState state;
  std::istringstream lines(*text);
  std::string line;
  bool header = false;
  bool ended = false;
  while (std::getline(lines, line)) {
    if (!header) {
      header = line == kStateHeader;
      if (!header) break;
      continue;
    }
    std::istringstream in(line);
    std::string keyword;
    in >> keyword;
    bool ok = true;
    if (keyword == "program") {
      ok = static_cast<bool>(in >> state.program);
    } else if (keyword == "end") {
      std::string name;
      in >> name;
      const std::optional<LastRunEnd> end = LastRunEndFromName(name);
      ok = end.has_value();
      if (ok) state.end = *end;
      ended = ok;
    } else if (keyword == "recorded") {
      ok = static_cast<bool>(in >> state.recorded_at);
    } else if (keyword == "database" || keyword == "copy") {
      RerunState::File file;
      ok = ParseFile(in, &file);
      (keyword == "copy" ? state.copies : state.databases).push_back(std::move(file));
    }
    if (!ok) {
      header = false;
      break;
    }
  }
  if (!header || !ended) {
    throw Error(err::kPathFileAccess, "Path/File access error: the state '" +
                                          folder.PathOf(kStateName) +
                                          "' cannot be read (it is not in the form this program "
                                          "writes)");
  }
  return state;
}

void WriteRerunState(const std::string& new_dir, const RerunState& state) {
  std::string text = std::string(kStateHeader) + "\n";
  text += "program " + (state.program.empty() ? std::string("-") : state.program) + "\n";
  text += "end " + std::string(LastRunEndName(state.end)) + "\n";
  text += "recorded " + std::to_string(state.recorded_at) + "\n";
  for (const RerunState::File& file : state.databases) text += FormatFile("database", file);
  for (const RerunState::File& file : state.copies) text += FormatFile("copy", file);
  platform::OwnFolder folder;
  folder.Open(HiddenFolderOf(new_dir), /*create=*/true);
  folder.Write(kStateName, text);
}

std::vector<std::pair<std::string, std::string>> ChangedSince(const std::string& new_dir,
                                                              const RerunState& state) {
  std::vector<std::pair<std::string, std::string>> changed;
  for (const RerunState::File& file : state.databases) {
    const std::string path = new_dir + file.name;
    const std::optional<platform::FileIdentity> now = platform::IdentityOf(path);
    const platform::FileIdentity& then = file.identity;
    if (!now) {
      changed.emplace_back(file.name, "missing");
    } else if (!now->SameFile(then)) {
      changed.emplace_back(file.name, "replaced by another file");
    } else if (now->size != then.size || now->mtime_ns != then.mtime_ns ||
               now->ctime_ns != then.ctime_ns ||
               (!then.checksum.empty() && platform::ChecksumOf(path, then.checksum) != then.checksum)) {
      changed.emplace_back(file.name, "changed");
    }
  }
  return changed;
}

SafeRerun::SafeRerun(std::string new_dir, std::string program, bool again)
    : new_dir_(std::move(new_dir)),
      program_(std::move(program)),
      again_(again),
      folder_(HiddenFolderOf(new_dir_)) {}

std::optional<std::string> SafeRerun::Assess() {
  previous_ = ReadRerunState(new_dir_);
  plan_ = Plan::kTakeAsItIs;
  if (!previous_) return std::nullopt;
  const RerunState& last = *previous_;
  const RerunState::File* copy = last.Copy(kMainDatabase);
  const std::string database = new_dir_ + kMainDatabase;
  const std::string copy_path = folder_ + "/" + kMainDatabase;
  if (last.end == LastRunEnd::kTrue) {
    const auto changed = ChangedSince(new_dir_, last);
    if (!changed.empty() && !again_) {
      std::string what;
      for (const auto& [name, how] : changed) {
        what += (what.empty() ? "" : ", ") + new_dir_ + name + (how == "changed" ? " changed" : " was " + how);
      }
      return "the new directory '" + new_dir_ + "' was converted successfully by " + last.program +
             " at " + UtcTime(last.recorded_at) + ", and since then " + what +
             ": converting again would lose those changes, so nothing was written. To convert "
             "again from the copy kept in '" +
             folder_ + "' before that conversion, discarding the changes, run again with "
             "--again; to take the new directory as it is now (fresh copies from the "
             "installer), remove the folder '" +
             folder_ + "' first";
    }
    if (copy == nullptr && last.Database(kMainDatabase) == nullptr) {
      return std::nullopt;  // it had no main database to keep: nothing to restore
    }
    if (copy == nullptr) {
      return "the new directory '" + new_dir_ + "' was converted successfully by " +
             last.program + ", but '" + folder_ + "' holds no copy of " + kMainDatabase +
             " from before that conversion, so it cannot be converted again; nothing was "
             "written. To take the new directory as it is now, remove the folder '" +
             folder_ + "' first";
    }
    plan_ = Plan::kRestore;
    if (!changed.empty()) {
      std::string what;
      for (const auto& [name, how] : changed) what += (what.empty() ? "" : ", ") + name;
      notes_.push_back("--again: the changes made since the last conversion to " + what +
                       " are discarded");
    }
  } else if (copy != nullptr) {
    // A failed, stopped or killed run: its output is restored, unless the
    // installer put a fresh file in place since.
    const RerunState::File* left = last.Database(kMainDatabase);
    const std::optional<platform::FileIdentity> now = platform::IdentityOf(database);
    if (left == nullptr || !now || now->SameFile(left->identity)) {
      plan_ = Plan::kRestore;
    } else {
      notes_.push_back(database + " was replaced since the last run; it is taken as it is");
    }
  }
  if (plan_ == Plan::kRestore) {
    platform::OwnFolder folder;
    folder.Open(folder_, /*create=*/false);
    const std::optional<platform::FileIdentity> kept = folder.Identity(kMainDatabase);
    if (!kept || !kept->SameFile(copy->identity) || kept->size != copy->identity.size ||
        kept->mtime_ns != copy->identity.mtime_ns) {
      return "'" + copy_path + "' is not the copy of " + database +
             " this program kept (it is missing, or was replaced or changed since); nothing "
             "was written. To take the new directory as it is now, remove the folder '" +
             folder_ + "' first";
    }
  }
  return std::nullopt;
}

std::optional<std::string> SafeRerun::ReadsFrom(const std::string& name) const {
  if (plan_ != Plan::kRestore || name != kMainDatabase || writing_) return std::nullopt;
  return folder_ + "/" + kMainDatabase;
}

std::vector<std::string> SafeRerun::BeginWriting() {
  if (writing_) return {};
  writing_ = true;
  const std::string database = new_dir_ + kMainDatabase;
  RerunState state;
  state.program = program_;
  state.end = LastRunEnd::kWriting;
  state.recorded_at = Now();
  platform::OwnFolder folder;
  folder.Open(folder_, /*create=*/true);
  if (plan_ == Plan::kRestore) {
    const RerunState::File& copy = *previous_->Copy(kMainDatabase);
    copies_ = {copy};
    // Recorded before the copy replaces the file: a run killed from here on
    // is restored again, whatever the file is then.
    state.copies = copies_;
    WriteRerunState(new_dir_, state);
    // A journal left by an interrupted run belongs to that run's output; it
    // must not be played back into the restored file.
    platform::RemoveDatabaseSideFiles(database);
    folder.CopyOut(kMainDatabase, copy.identity, database);
    notes_.push_back("restored " + database + " from " + folder.PathOf(kMainDatabase) +
                     " (as the installer left it) before converting again");
  } else {
    if (previous_) WriteRerunState(new_dir_, state);  // the copies go first
    copies_.clear();
    if (platform::IdentityOf(database)) {
      folder.CopyIn(database, kMainDatabase);
      if (const auto kept = folder.Identity(kMainDatabase)) copies_.push_back({kMainDatabase, *kept});
    } else {
      folder.Remove(kMainDatabase);
    }
  }
  state.copies = copies_;
  if (const auto now = platform::IdentityOf(database)) state.databases.push_back({kMainDatabase, *now});
  WriteRerunState(new_dir_, state);
  return std::move(notes_);
}

void SafeRerun::Wrote(const std::string& path) {
  if (path.size() <= new_dir_.size() || path.compare(0, new_dir_.size(), new_dir_) != 0) return;
  const std::string name = path.substr(new_dir_.size());
  if (name.find('/') != std::string::npos) return;
  for (const std::string& known : written_) {
    if (known == name) return;
  }
  written_.push_back(name);
}

std::string SafeRerun::RecordEnd(LastRunEnd end) {
  if (!writing_) return "";
  RerunState state;
  state.program = program_;
  state.end = end;
  state.recorded_at = Now();
  state.copies = copies_;
  std::vector<std::string> names{kMainDatabase};
  for (const std::string& name : written_) {
    if (name != kMainDatabase) names.push_back(name);
  }
  for (const std::string& name : names) {
    if (auto now = platform::IdentityOf(new_dir_ + name, /*checksum_when_needed=*/true)) {
      state.databases.push_back({name, std::move(*now)});
    }
  }
  try {
    WriteRerunState(new_dir_, state);
  } catch (const Error& e) {
    return e.description();
  }
  return "";
}

}  // namespace relamor
