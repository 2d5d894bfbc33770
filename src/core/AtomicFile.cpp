#include "core/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

namespace orvo {
namespace {

// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string describe(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::optional<std::string> makeDirectories(const std::string& path, mode_t mode) {
  std::error_code error;
  const std::filesystem::path dir(path);
  if (dir.has_parent_path() && !std::filesystem::exists(dir.parent_path(), error)) {
    std::filesystem::create_directories(dir.parent_path(), error);
    if (error) return "cannot create " + dir.parent_path().string() + ": " + error.message();
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return describe("cannot create", path);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return describe("cannot stat", path);
  if (!S_ISDIR(info.st_mode)) return path + " is not a directory";
  if ((info.st_mode & 07777) != mode && ::chmod(path.c_str(), mode) != 0) return describe("cannot chmod", path);
  return std::nullopt;
}

std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
  const std::filesystem::path target(path);
  const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
  std::string temp = path + ".tmp.XXXXXX";
  FileDescriptor fd(::mkstemp(temp.data()));
  if (fd.get() < 0) return describe("cannot create a temporary file for", path);
  auto fail = [&](const char* what) {
    auto message = describe(what, temp);
    ::unlink(temp.c_str());
    return message;
  };
  if (::fchmod(fd.get(), mode) != 0) return fail("cannot chmod");
  for (std::size_t written = 0; written < content.size();) {
    const auto n = ::write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write");
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0) return fail("cannot fsync");
  if (::close(fd.release()) != 0) return fail("cannot close");
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename");
  FileDescriptor dirFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
  return std::nullopt;
}

std::optional<std::string> readFile(const std::string& path, std::string* error) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT && error) *error = describe("cannot open", path);
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const auto n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = describe("cannot read", path);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

}  // namespace orvo
