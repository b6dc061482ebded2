// The system registry, emulated by a directory tree.
//
// A key is a directory, one level per key-name component, below the registry
// root: HKEY_LOCAL_MACHINE, key "SOFTWARE\Kestrun\Tervanis" is the directory
// <root>/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis. A value is a regular
// file in its key's directory, named like the value, holding the value's data
// bytes and nothing else. Keys are never created here; the installer creates
// them.
#pragma once

#include <string>
#include <string_view>

namespace relamor::platform {

// The registry root: $RELAMOR_REGISTRY when set and not empty, otherwise
// kDefaultRegistryRoot.
inline constexpr std::string_view kDefaultRegistryRoot = "/var/lib/relamor/registry";
std::string RegistryRootFromEnvironment();

class RegistryKey {
 public:
  RegistryKey() = default;

  // Opens `hive`\`sub_key` (components separated by "\") below `root`.
  // Succeeds only when the key's directory exists and the process may create
  // files in it. On failure returns false and sets `*reason` to a text that
  // names the directory and the cause.
  bool Open(const std::string& root, std::string_view hive, std::string_view sub_key,
            std::string* reason);

  // Replaces the value `name` by `data`, atomically: the data is written to a
  // temporary file in the key's directory, synced, and renamed over the
  // value. On failure returns false, leaves the old value as it was, and sets
  // `*reason` to a text that names the value's path and the cause.
  // REQUIRES: is_open().
  bool SetValue(std::string_view name, std::string_view data, std::string* reason);

  void Close() { path_.clear(); }
  bool is_open() const { return !path_.empty(); }
  // The key's directory (empty when closed).
  const std::string& path() const { return path_; }
  std::string ValuePath(std::string_view name) const;

 private:
  std::string path_;
};

}  // namespace relamor::platform
