#include "toolkit/platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace relamor::platform {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// A key-name component must name one directory level.
bool IsPlainComponent(std::string_view part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string_view::npos &&
         part.find('\0') == std::string_view::npos;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string RegistryRootFromEnvironment() {
  const char* root = std::getenv("RELAMOR_REGISTRY");
  if (root != nullptr && *root != '\0') return root;
  return std::string(kDefaultRegistryRoot);
}

bool RegistryKey::Open(const std::string& root, std::string_view hive, std::string_view sub_key,
                       std::string* reason) {
  Close();
  std::string dir = root;
  auto append = [&dir](std::string_view part) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    dir += part;
  };
  if (!IsPlainComponent(hive)) {
    *reason = "invalid registry hive name '" + std::string(hive) + "'";
    return false;
  }
  append(hive);
  std::string_view rest = sub_key;
  while (true) {
    std::size_t sep = rest.find('\\');
    std::string_view part = rest.substr(0, sep);
    if (!IsPlainComponent(part)) {
      *reason = "invalid registry key name '" + std::string(sub_key) + "'";
      return false;
    }
    append(part);
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 1);
  }

  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    *reason = "registry key directory '" + dir + "': " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *reason = "registry key directory '" + dir + "': not a directory";
    return false;
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    *reason = "registry key directory '" + dir + "': " + ErrnoText(errno);
    return false;
  }
  path_ = dir;
  return true;
}

std::string RegistryKey::ValuePath(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

bool RegistryKey::SetValue(std::string_view name, std::string_view data, std::string* reason) {
  const std::string target = ValuePath(name);
  if (!is_open()) {
    *reason = "cannot write registry value '" + std::string(name) + "': the key is not open";
    return false;
  }
  if (!IsPlainComponent(name)) {
    *reason = "cannot write registry value '" + target + "': invalid value name";
    return false;
  }
  std::string temp = path_ + "/." + std::string(name) + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *reason = "cannot write registry value '" + target + "': " + ErrnoText(errno);
    return false;
  }
  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    *reason = "cannot write registry value '" + target + "': " + ErrnoText(error);
    return false;
  };
  // Values are readable by everyone, like the installer's own files.
  if (::fchmod(fd, 0644) != 0) return fail(errno);
  if (!WriteAll(fd, data)) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    *reason = "cannot write registry value '" + target + "': " + ErrnoText(error);
    return false;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    *reason = "cannot write registry value '" + target + "': " + ErrnoText(error);
    return false;
  }
  // Make the rename itself durable; a failure here does not undo the value.
  int dir_fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return true;
}

}  // namespace relamor::platform
