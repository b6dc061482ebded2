// Start-up of relamor: release detection, the list of site databases and
// their new files, then the conversion.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "relamor/relamor.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

// SiteDatabaseNames holds entries 0 to 999.
constexpr std::size_t kSiteDatabaseCapacity = 1000;

// The parts of a release text ("3.5.2" gives 3, 5, 2); nothing when it is
// not made of whole numbers ("Unknown").
std::optional<std::vector<long>> ReleaseParts(const std::string& release) {
  std::vector<long> parts;
  std::size_t start = 0;
  while (start <= release.size()) {
    const std::size_t dot = std::min(release.find('.', start), release.size());
    const std::string part = release.substr(start, dot - start);
    if (part.empty() || part.size() > 9 ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    parts.push_back(std::stol(part));
    start = dot + 1;
  }
  return parts;
}

const char kReleaseQuery[] =
    "SELECT a.[productname], a.[servicepack], a.[buildno] FROM QORRELEASES as a WHERE a.[no] = "
    "(select max(b.[no]) from qorreleases as b)";

}  // namespace

void Relamor::StartUp() {
  new_db_ = frame_.engine().OpenDatabase(frame_.new_dir() + "qorsite.mdb");
  old_db_ = frame_.engine().OpenDatabase(frame_.old_dir() + "qorsite.mdb", db::OpenMode::kReadOnly);
  DetectReleases();
  frame_.report().SetReleases(old_release_, current_release_);
  frame_.Log({"Old Version is Tervanis " + old_release_});
  frame_.Log({"Current Version is Tervanis " + current_release_});
  if (old_release_ == "2.0") {
    frame_.StopRun("Old Version of QOR2.0 is incompatible", "; convert release 2.0 with relamor2035");
  }
  RefuseNewerOldRelease();

  {
    db::Recordset mapping = new_db_.OpenRecordset("export");
    if (mapping.Eof()) return;  // nothing to convert: the run still succeeds
  }
  // Every pass looks the old release up in the new qorreleases: one that is
  // not there ends the run before any site database is made.
  RequireReleaseNumber();
  ListSiteDatabases();
  // Everything above only reads; the pass of each database opens it again.
  new_db_.Close();
  old_db_.Close();
  std::vector<std::string> written{frame_.new_dir() + "qorsite.mdb"};
  for (std::size_t k = 1; k <= site_database_count_; ++k) {
    written.push_back(frame_.new_dir() + SiteDatabaseNames[k] + ".mdb");
  }
  frame_.BeginWriting(written);
  CreateSiteDatabases();
  ConvertDatabases();
}

// An old release newer than the new one means the directories were most
// likely given the wrong way round: converting would copy the template into
// the old installation.
void Relamor::RefuseNewerOldRelease() const {
  const auto old_parts = ReleaseParts(old_release_);
  const auto new_parts = ReleaseParts(current_release_);
  if (!old_parts || !new_parts || !(*new_parts < *old_parts)) return;
  throw Error(err::kInvalidProcedureCall,
              "Invalid procedure call: the old installation in '" + frame_.old_dir() +
                  "' has release " + old_release_ + ", newer than release " + current_release_ +
                  " of the new installation in '" + frame_.new_dir() +
                  "'; are the old and the new directory swapped? Nothing was converted");
}

// The release of a main database from the row of its `qorreleases` with the
// highest `no`: productname, and ".servicepack" when the service pack counts
// (greater than 0 for the new release, not 0 for the old one).
std::string Relamor::ReleaseOf(db::Database& db, bool positive_service_pack_only, bool* found) {
  for (const db::TableDef& table : db.TableDefs()) {
    if (Upper(table.name) != "QORRELEASES") continue;
    if (found) *found = true;
    db::Recordset rs = db.OpenRecordset(kReleaseQuery);
    if (rs.Eof()) return "Unknown";
    std::string release = ToText(rs.Get("productname"));
    Value sp = rs.Get("servicepack");
    if (!IsNull(sp)) {
      double n = ToDouble(sp, "servicepack of qorreleases in " + db.path());
      if (positive_service_pack_only ? n > 0 : n != 0) release += "." + ToText(sp);
    }
    return release;
  }
  return "Unknown";
}

void Relamor::DetectReleases() {
  current_release_ = ReleaseOf(new_db_, /*positive_service_pack_only=*/true, nullptr);
  bool found = false;
  old_release_ = ReleaseOf(old_db_, /*positive_service_pack_only=*/false, &found);

  // Release 2.0 is recognised by its shape, whatever qorreleases says.
  db::Recordset sites = old_db_.OpenRecordset("sites");
  db::Recordset customers = old_db_.OpenRecordset("customers");
  if (sites.FieldCount() == 2 && Upper(customers.FieldName(0)) == "SITEID") {
    old_release_ = "2.0";
    found = true;
  }
  if (!found) {
    for (const db::TableDef& table : old_db_.TableDefs()) {
      const std::string name = Upper(table.name);
      if (name == "EXPORT3035") {
        old_release_ = "3.5";
        break;
      }
      if (name == "EXPORT") old_release_ = "3.0";
    }
  }
}

// Lists the sites of the old main database whose old site database opens, as
// qord00N, qord0NN or qordNNN in the order of the sites table.
void Relamor::ListSiteDatabases() {
  SiteDatabaseNames.assign(1, "qorsite");
  db::Recordset sites = old_db_.OpenRecordset("sites", db::RecordsetType::kTable, db::kDenyRead);
  frame_.Log({"Reading Sites Table."});
  long site_count = 0;
  if (!sites.Eof()) {
    // A table-type recordset counts all its rows.
    sites.MoveLast();
    site_count = sites.RecordCount();
    sites.MoveFirst();
  }
  std::size_t n = 1;
  while (!sites.Eof()) {
    const Value v = sites.Get(0);
    std::string prefix;
    if (!IsNull(v)) {
      const double number = ToDouble(v, "site number in sites of " + old_db_.path());
      prefix = number < 10 ? "qord00" : number < 100 ? "qord0" : "qord";
    }
    if (prefix.empty()) frame_.StopOutOfMemory();
    if (n >= kSiteDatabaseCapacity) {
      throw Error(err::kSubscriptOutOfRange,
                  "Subscript out of range: more than " +
                      std::to_string(kSiteDatabaseCapacity - 1) + " site databases in sites of " +
                      old_db_.path());
    }
    const std::string name = prefix + ToText(v);
    if (SiteDatabaseNames.size() <= n) SiteDatabaseNames.resize(n + 1);
    SiteDatabaseNames[n] = name;
    const std::string path = frame_.old_dir() + name + ".mdb";
    if (frame_.CanOpenDatabase(path)) {
      ++n;
    } else if (std::filesystem::exists(path)) {
      // A site without a database is left out; one whose database exists but
      // cannot be read would lose its data while the run reports success, so
      // the engine's reason ends the run instead. The check lists it as the
      // problem of that site's database and goes on with the others.
      try {
        frame_.engine().OpenDatabase(path, db::OpenMode::kReadOnly);
      } catch (const Error& e) {
        if (!frame_.checking()) throw;
        Problem problem;
        problem.database = name;
        problem.message = e.description();
        problem.number = e.number();
        problem.file = path;
        frame_.report().AddProblem(std::move(problem));
      }
    }
    sites.MoveNext();
  }
  SiteDatabaseNames.resize(n);
  site_database_count_ = n - 1;
  frame_.report().SetSites({SiteDatabaseNames.begin() + 1, SiteDatabaseNames.end()});
  frame_.Log({site_count, " Sites found."});
}

void Relamor::CreateSiteDatabases() {
  std::vector<std::string> targets;
  for (std::size_t k = 1; k <= site_database_count_; ++k) {
    targets.push_back(frame_.new_dir() + SiteDatabaseNames[k] + ".mdb");
  }
  const std::size_t dir_length = frame_.new_dir().size();
  frame_.CopyTemplates(frame_.new_dir() + "qordxxx.mdb", targets, [&](const std::string& to) {
    frame_.Log({"created " + to.substr(dir_length)});
  });
  frame_.Log({"Copied all database files to be updated"});
}

}  // namespace relamor
