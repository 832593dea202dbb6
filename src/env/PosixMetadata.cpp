// SPDX-License-Identifier: MIT
// The extended attributes and ACL that a replaced file carries over, for
// the POSIX Env. Only Linux's calls for them are used here; a build without
// them (a portable build) cannot see a file's, and so replaces no file that
// is there: it rewrites it in place, which keeps them.

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "env/PosixFiles.h"

#if HEXPOKE_LINUX_CALLS
#include <sys/xattr.h>
#endif

namespace hexpoke {
namespace posix {

#if HEXPOKE_LINUX_CALLS

namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

// Reads a list or a value that may grow between asking for its size and
// reading it (ERANGE), as flistxattr and fgetxattr give them.
template <typename Call>
bool ReadSized(std::vector<char>& into, Call call) {
  for (;;) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return false;
    into.resize(static_cast<std::size_t>(size));
    if (size == 0) return true;
    const ssize_t got = call(into.data(), into.size());
    if (got >= 0) {
      into.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

}  // namespace

bool CarriesMetadata() { return true; }

bool Metadata::Read(int fd) {
  std::vector<char> names;
  if (!ReadSized(names, [fd](char* to, std::size_t size) {
        return flistxattr(fd, to, size);
      })) {
    return errno == ENOTSUP;  // none where there can be none (FAT)
  }
  for (std::size_t at = 0; at < names.size();) {
    std::string name(names.data() + at);
    at += name.size() + 1;
    std::vector<char> value;
    if (!ReadSized(value, [fd, &name](char* to, std::size_t size) {
          return fgetxattr(fd, name.c_str(), to, size);
        })) {
      return false;
    }
    if (name == kAccessAcl) {
      has_access_acl_ = true;
      acl_ = std::move(value);
    } else {
      attributes_.emplace_back(std::move(name), std::move(value));
    }
  }
  return true;
}

bool Metadata::Write(int to) const {
  for (const auto& [name, value] : attributes_) {
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  if (has_access_acl_) {
    return fsetxattr(to, kAccessAcl, acl_.data(), acl_.size(), 0) == 0;
  }
  // One inherited from the directory's default ACL, which the old file did
  // not have.
  return fremovexattr(to, kAccessAcl) == 0 || errno == ENODATA ||
         errno == ENOTSUP;
}

#else

bool CarriesMetadata() { return false; }

bool Metadata::Read(int) { return false; }

bool Metadata::Write(int) const { return false; }

#endif

}  // namespace posix
}  // namespace hexpoke
