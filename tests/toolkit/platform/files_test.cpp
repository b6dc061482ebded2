#include "toolkit/platform/files.h"

#include <gtest/gtest.h>

#include "tests/support/test_db.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "toolkit/error.h"

namespace relamor::platform {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return temp_.File(name); }
  static void Write(const std::string& path, const std::string& bytes) {
    testing::WriteFile(path, bytes);
  }
  static std::string Read(const std::string& path) { return testing::FileBytes(path); }
  static unsigned Mode(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
  std::size_t Entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }

  testing::TempDir temp_;
  std::string dir_ = temp_.path();
};

TEST_F(FilesTest, CopyReplacesTheTargetWithAnExactCopy) {
  std::string bytes("SQLite format 3\0\x01\xff", 19);
  bytes += std::string(200000, 'x');  // more than one buffer
  Write(Path("qordxxx.mdb"), bytes);
  Write(Path("qord003.mdb"), std::string(300000, 'o'));

  CopyFileReplacing(Path("qordxxx.mdb"), Path("qord003.mdb"));
  EXPECT_EQ(Read(Path("qord003.mdb")), bytes);
  EXPECT_EQ(Read(Path("qordxxx.mdb")), bytes);
  EXPECT_EQ(Entries(), 2u) << "a temporary file was left behind";

  // A copy onto itself keeps the content.
  CopyFileReplacing(Path("qordxxx.mdb"), Path("qordxxx.mdb"));
  EXPECT_EQ(Read(Path("qordxxx.mdb")), bytes);
}

// The checksum sees one changed byte anywhere: in a 32-byte block, in the
// last bytes past the blocks, across a read buffer's end; and it reads a
// checksum of earlier builds (FNV-1a) in that form.
TEST_F(FilesTest, ChecksumSeesEveryChangedByte) {
  std::string bytes(200003, 'q');
  for (std::size_t i = 0; i < bytes.size(); i += 7) bytes[i] = static_cast<char>(i % 251);
  Write(Path("a.mdb"), bytes);
  const std::string sum = ChecksumOf(Path("a.mdb"));
  EXPECT_EQ(sum.size(), 17u);
  EXPECT_EQ(ChecksumOf(Path("a.mdb")), sum);
  for (const std::size_t at : {std::size_t{0}, std::size_t{65535}, std::size_t{65536},
                               std::size_t{131100}, bytes.size() - 1}) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 1);
    Write(Path("a.mdb"), changed);
    EXPECT_NE(ChecksumOf(Path("a.mdb")), sum) << "byte " << at;
  }
  Write(Path("a.mdb"), bytes + '\0');
  EXPECT_NE(ChecksumOf(Path("a.mdb")), sum) << "one more byte";
  Write(Path("a.mdb"), "ab");
  EXPECT_EQ(ChecksumOf(Path("a.mdb"), "0000000000000000"), "9bac4b00c65ba4ec");
}

TEST_F(FilesTest, CopyFailuresNameTheFilesAndLeaveTheTarget) {
  Write(Path("qord003.mdb"), "old");
  try {
    CopyFileReplacing(Path("qordxxx.mdb"), Path("qord003.mdb"));
    FAIL() << "no error for a missing source";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kFileNotFound);
    EXPECT_NE(e.description().find(Path("qordxxx.mdb")), std::string::npos) << e.description();
  }
  EXPECT_EQ(Read(Path("qord003.mdb")), "old");

  Write(Path("qordxxx.mdb"), "template");
  const std::string missing_dir_target = Path("no-such-dir/qord003.mdb");
  try {
    CopyFileReplacing(Path("qordxxx.mdb"), missing_dir_target);
    FAIL() << "no error for a missing target directory";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccess);
    EXPECT_NE(e.description().find(Path("qordxxx.mdb")), std::string::npos) << e.description();
    EXPECT_NE(e.description().find(missing_dir_target), std::string::npos) << e.description();
  }

  // A directory in place of the target: nothing is replaced, nothing is left.
  fs::create_directories(Path("qord012.mdb/sub"));
  try {
    CopyFileReplacing(Path("qordxxx.mdb"), Path("qord012.mdb"));
    FAIL() << "no error for a directory as target";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccess);
  }
  EXPECT_TRUE(fs::is_directory(Path("qord012.mdb/sub")));
  EXPECT_EQ(Entries(), 3u) << "a temporary file was left behind";
}

// Many copies synced together (more than one group): each target an exact
// copy, renamed in order. A copy that fails stops there: the ones before it
// are in place, the ones after are not made, no temporary file is left.
TEST_F(FilesTest, CopyToEachTargetRenamesInOrderAndStopsAtAFailure) {
  const std::string bytes(70000, 't');
  Write(Path("qordxxx.mdb"), bytes);
  std::vector<std::string> targets;
  for (int k = 0; k < 70; ++k) targets.push_back(Path("qord" + std::to_string(100 + k) + ".mdb"));
  std::vector<std::size_t> order;
  CopyFileReplacingEach(
      Path("qordxxx.mdb"), targets,
      [&](std::size_t k) { EXPECT_FALSE(fs::exists(targets[k])) << k; },
      [&](std::size_t k) { order.push_back(k); });
  ASSERT_EQ(order.size(), targets.size());
  for (std::size_t k = 0; k < targets.size(); ++k) {
    EXPECT_EQ(order[k], k);
    EXPECT_EQ(Read(targets[k]), bytes) << targets[k];
  }
  EXPECT_EQ(Entries(), 71u) << "a temporary file was left behind";

  const std::vector<std::string> broken{Path("a.mdb"), Path("no-such-dir/b.mdb"), Path("c.mdb")};
  order.clear();
  try {
    CopyFileReplacingEach(Path("qordxxx.mdb"), broken, nullptr,
                          [&](std::size_t k) { order.push_back(k); });
    FAIL() << "no error for a missing target directory";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccess);
    EXPECT_NE(e.description().find(broken[1]), std::string::npos) << e.description();
  }
  EXPECT_EQ(order, std::vector<std::size_t>{0});
  EXPECT_EQ(Read(Path("a.mdb")), bytes);
  EXPECT_FALSE(fs::exists(Path("c.mdb")));
  EXPECT_EQ(Entries(), 72u) << "a temporary file was left behind";

  // What a killed copy leaves goes; a file of another name stays.
  Write(Path(".relamor-copy.Ab3dE9"), "left");
  Write(Path(".relamor-copy.notmine"), "kept");
  RemoveLeftoverCopiesBeside(Path("a.mdb"));
  EXPECT_FALSE(fs::exists(Path(".relamor-copy.Ab3dE9")));
  EXPECT_TRUE(fs::exists(Path(".relamor-copy.notmine")));
}

TEST_F(FilesTest, ArchiveOnlyMakesTheFileReadableAndWritableByItsOwner) {
  Write(Path("qord003.mdb"), "db");
  ::chmod(Path("qord003.mdb").c_str(), 0444);
  SetArchiveOnly(Path("qord003.mdb"));
  EXPECT_EQ(Mode(Path("qord003.mdb")), 0644u);

  ::chmod(Path("qord003.mdb").c_str(), 04710);
  SetArchiveOnly(Path("qord003.mdb"));
  EXPECT_EQ(Mode(Path("qord003.mdb")), 0710u);

  try {
    SetArchiveOnly(Path("missing.mdb"));
    FAIL() << "no error for a missing file";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kFileNotFound);
    EXPECT_NE(e.description().find(Path("missing.mdb")), std::string::npos) << e.description();
  }
  fs::create_directory(Path("dir.mdb"));
  try {
    SetArchiveOnly(Path("dir.mdb"));
    FAIL() << "no error for a directory";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccess);
    EXPECT_NE(e.description().find(Path("dir.mdb")), std::string::npos) << e.description();
  }
}

// A private folder left by a run that was killed outright goes when the next
// one is made; a folder still held, one just made (not yet locked), and
// other names stay; a folder goes with its object.
TEST_F(FilesTest, PrivateFolderRemovesWhatAKilledRunLeftAndNothingElse) {
  ASSERT_EQ(::setenv("TMPDIR", dir_.c_str(), 1), 0);
  const auto backdate = [](const std::string& path) {
    const struct timespec old[2] = {{::time(nullptr) - 2 * kPrivateFolderGraceSeconds, 0},
                                    {::time(nullptr) - 2 * kPrivateFolderGraceSeconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0) << path;
  };
  const pid_t child = ::fork();
  if (child == 0) {
    PrivateFolder killed("relamor-jet-");
    std::ofstream(killed.path() + "/import.mdb") << "rows";
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(Entries(), 1u);
  const std::string left = fs::directory_iterator(dir_)->path().string();
  backdate(left);
  std::string held_path;
  {
    PrivateFolder held("relamor-jet-");
    held_path = held.path();
    backdate(held_path);
    fs::create_directory(Path("relamor-jet-abcdef"));   // just made by another run
    fs::create_directory(Path("relamor-jetty-12"));     // not one of ours
    backdate(Path("relamor-jetty-12"));
    {
      PrivateFolder next("relamor-jet-");
      EXPECT_FALSE(fs::exists(left));
      EXPECT_TRUE(fs::is_directory(held_path));
      EXPECT_TRUE(fs::is_directory(next.path()));
      EXPECT_EQ(Entries(), 4u);
    }
    EXPECT_EQ(Entries(), 3u);
  }
  EXPECT_FALSE(fs::exists(held_path));
  EXPECT_TRUE(fs::is_directory(Path("relamor-jet-abcdef")));
  EXPECT_TRUE(fs::is_directory(Path("relamor-jetty-12")));
  ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace relamor::platform
