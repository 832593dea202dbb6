#include "driver/OutputFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace hexpoke {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void NotOpened() { throw std::runtime_error("File not opened"); }
[[noreturn]] void NotWritten() { throw std::runtime_error("File not written"); }

using WriteContents = std::function<void(std::ostream&)>;

void WriteAndClose(std::ofstream& out, const WriteContents& write_contents) {
  write_contents(out);
  out.flush();
  const bool written = static_cast<bool>(out);
  out.close();
  if (!written || out.fail()) NotWritten();
}

// Paths that the system provides rather than stores. Their links lead to
// devices and to open descriptors (/dev/stdout -> /proc/self/fd/1 -> whatever
// standard output is), so they are written in place, never replaced.
bool IsSystemPath(const fs::path& path) {
  std::error_code error;
  const std::string absolute =
      fs::absolute(path, error).lexically_normal().generic_string();
  return absolute.rfind("/dev/", 0) == 0 || absolute.rfind("/proc/", 0) == 0;
}

// Follows symbolic links to the path they finally name, which need not
// exist. Returns an empty path if the chain leads into a system path. A
// chain that does not end (a loop) cannot be opened.
fs::path ResolveLinks(fs::path path) {
  std::error_code error;
  for (int hops = 0; hops < 40; ++hops) {
    if (IsSystemPath(path)) return fs::path();
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    const fs::path target = fs::read_symlink(path, error);
    if (error) NotOpened();
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  NotOpened();
}

// Creates a new, empty file in the directory of `target` whose name no other
// file has, and returns its path. fopen's "x" mode fails if the file exists, so a file made
// at the same moment by someone else is never taken over.
fs::path CreateTemporaryBeside(const fs::path& target) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const fs::path directory = target.parent_path();
  // Named after the file it will replace, unless that name is so long that
  // the additions would pass the usual 255-character limit.
  const std::string name = target.filename().string();
  const std::string prefix = name.size() <= 200 ? "." + name : "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate =
        directory / (prefix + ".hexpoke-" +
                     std::to_string(random() % 1000000000) + ".tmp");
    if (std::FILE* file = std::fopen(candidate.string().c_str(), "wx")) {
      std::fclose(file);
      return candidate;
    }
    std::error_code error;
    if (!fs::exists(candidate, error)) break;  // not a clash: cannot create
  }
  NotOpened();
}

// Removes the temporary file unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }
  const fs::path& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

void WriteDirectly(const fs::path& path, const WriteContents& write_contents) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out) NotOpened();
  WriteAndClose(out, write_contents);
}

}  // namespace

void WriteOutputFile(const std::string& path,
                     const WriteContents& write_contents) {
  const fs::path target = ResolveLinks(fs::path(path));
  if (target.empty()) {
    WriteDirectly(fs::path(path), write_contents);
    return;
  }
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  const bool exists = fs::exists(status);
  if (exists && !fs::is_regular_file(status)) {
    WriteDirectly(target, write_contents);
    return;
  }
  if (exists) {
    // Replacing by rename needs only the directory's permission; insist on
    // the file's own, as truncating it in place would.
    std::ofstream probe(target, std::ios::out | std::ios::app);
    if (!probe) NotOpened();
  }

  TemporaryFile temporary(CreateTemporaryBeside(target));
  {
    std::ofstream out(temporary.path(), std::ios::out | std::ios::trunc);
    if (!out) NotOpened();
    WriteAndClose(out, write_contents);
  }
  if (exists) {
    fs::permissions(temporary.path(), status.permissions(),
                    fs::perm_options::replace, error);
    if (error) NotWritten();
  }
  fs::rename(temporary.path(), target, error);
  if (error) NotWritten();
  temporary.Release();
}

}  // namespace hexpoke
