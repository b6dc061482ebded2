#include "toolkit/platform/registry.h"

#include <gtest/gtest.h>

#include "tests/support/test_db.h"
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace relamor::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSubKey = "SOFTWARE\\Kestrun\\Tervanis";

class RegistryTest : public ::testing::Test {
 protected:
  static std::string Read(const std::string& path) { return testing::FileBytes(path); }
  std::size_t EntriesInKey() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(key_dir_), {}));
  }

  testing::TempDir dir_;
  std::string root_ = dir_.path();
  std::string key_dir_ = root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis";
};

TEST_F(RegistryTest, KeyOpensOnlyWhenItsDirectoryExistsAndIsNeverCreated) {
  RegistryKey key;
  std::string reason;
  EXPECT_FALSE(key.Open(root_, "HKEY_LOCAL_MACHINE", kSubKey, &reason));
  EXPECT_NE(reason.find(key_dir_), std::string::npos) << reason;
  EXPECT_FALSE(key.is_open());
  EXPECT_FALSE(fs::exists(root_ + "/HKEY_LOCAL_MACHINE"));

  // A file where the key's directory should be.
  fs::create_directories(root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun");
  std::ofstream(key_dir_) << "x";
  EXPECT_FALSE(key.Open(root_, "HKEY_LOCAL_MACHINE", kSubKey, &reason));
  EXPECT_NE(reason.find("not a directory"), std::string::npos) << reason;

  fs::remove(key_dir_);
  fs::create_directory(key_dir_);
  ASSERT_TRUE(key.Open(root_ + "/", "HKEY_LOCAL_MACHINE", kSubKey, &reason)) << reason;
  EXPECT_EQ(key.path(), key_dir_);
  EXPECT_EQ(key.ValuePath("RelamorResult"), key_dir_ + "/RelamorResult");
}

TEST_F(RegistryTest, KeyNameComponentsCannotLeaveTheRoot) {
  fs::create_directories(key_dir_);
  RegistryKey key;
  std::string reason;
  EXPECT_FALSE(key.Open(root_, "HKEY_LOCAL_MACHINE", "SOFTWARE\\..\\SOFTWARE\\Kestrun", &reason));
  EXPECT_FALSE(key.Open(root_, "HKEY_LOCAL_MACHINE", "SOFTWARE\\\\Kestrun", &reason));
  EXPECT_FALSE(key.Open(root_, "HKEY_LOCAL_MACHINE", "SOFTWARE/Kestrun\\Tervanis", &reason));
  EXPECT_NE(reason.find("invalid registry key name"), std::string::npos) << reason;
}

TEST_F(RegistryTest, ValueHoldsExactlyTheDataBytesAndIsReplaced) {
  fs::create_directories(key_dir_);
  RegistryKey key;
  std::string reason;
  ASSERT_TRUE(key.Open(root_, "HKEY_LOCAL_MACHINE", kSubKey, &reason)) << reason;

  ASSERT_TRUE(key.SetValue("RelamorResult", "False", &reason)) << reason;
  EXPECT_EQ(Read(key_dir_ + "/RelamorResult"), "False");
  ASSERT_TRUE(key.SetValue("RelamorResult", "True", &reason)) << reason;
  EXPECT_EQ(Read(key_dir_ + "/RelamorResult"), "True");
  EXPECT_EQ(fs::file_size(key_dir_ + "/RelamorResult"), 4u);
  EXPECT_EQ(EntriesInKey(), 1u) << "a temporary file was left behind";

  struct stat st;
  ASSERT_EQ(::stat((key_dir_ + "/RelamorResult").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(RegistryTest, FailedValueWriteNamesThePathAndLeavesNothingBehind) {
  fs::create_directories(key_dir_ + "/RelamorResult/inside");
  RegistryKey key;
  std::string reason;
  ASSERT_TRUE(key.Open(root_, "HKEY_LOCAL_MACHINE", kSubKey, &reason)) << reason;
  EXPECT_FALSE(key.SetValue("RelamorResult", "True", &reason));
  EXPECT_NE(reason.find(key_dir_ + "/RelamorResult"), std::string::npos) << reason;
  EXPECT_TRUE(fs::is_directory(key_dir_ + "/RelamorResult/inside"));
  EXPECT_EQ(EntriesInKey(), 1u) << "a temporary file was left behind";

  EXPECT_FALSE(key.SetValue("../escape", "True", &reason));
  EXPECT_FALSE(fs::exists(root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/escape"));
}

TEST(RegistryRootTest, ComesFromTheEnvironmentWhenSetAndNotEmpty) {
  const char* saved = std::getenv("RELAMOR_REGISTRY");
  std::string saved_value = saved ? saved : "";

  ::unsetenv("RELAMOR_REGISTRY");
  EXPECT_EQ(RegistryRootFromEnvironment(), "/var/lib/relamor/registry");
  ::setenv("RELAMOR_REGISTRY", "", 1);
  EXPECT_EQ(RegistryRootFromEnvironment(), "/var/lib/relamor/registry");
  ::setenv("RELAMOR_REGISTRY", "/tmp/reg", 1);
  EXPECT_EQ(RegistryRootFromEnvironment(), "/tmp/reg");

  if (saved) {
    ::setenv("RELAMOR_REGISTRY", saved_value.c_str(), 1);
  } else {
    ::unsetenv("RELAMOR_REGISTRY");
  }
}

}  // namespace
}  // namespace relamor::platform
