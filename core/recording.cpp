#include "core/recording.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tamrik::core {

namespace {

std::filesystem::path fromUtf8(const std::string& path) { return std::u8string(path.begin(), path.end()); }

std::string reason(int errorNumber) { return std::generic_category().message(errorNumber); }

}  // namespace

base::Result<std::unique_ptr<Recording>> Recording::open(const std::string& path, bool overwrite) {
  using base::FailureKind;
  const std::filesystem::path target = fromUtf8(path);
  std::error_code ec;
  if (path.empty()) {
    return base::fail(FailureKind::BadArgument, "no file to record into");
  }
  if (std::filesystem::is_directory(target, ec)) {
    return base::fail(FailureKind::BadArgument, "cannot record into " + path + ": it is a folder");
  }
  if (!overwrite && std::filesystem::exists(target, ec)) {
    return base::fail(FailureKind::BadArgument, path + " exists; --force replaces it");
  }
  errno = 0;
#ifdef _WIN32
  std::FILE* file = _wfopen(target.c_str(), L"wb");
#else
  // Opened without waiting and looked at before it is written: a FIFO with no reader would hold
  // the open, one with a slow reader every write, past any duration.
  std::FILE* file = nullptr;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  struct stat st {};
  const bool statted = fd >= 0 && ::fstat(fd, &st) == 0;
  // ENXIO: a FIFO that nobody reads.
  if ((fd < 0 && errno == ENXIO) || (statted && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))) {
    if (fd >= 0) ::close(fd);
    return base::fail(FailureKind::BadArgument, "cannot record into " + path + ": it is a pipe");
  }
  if (fd >= 0) {
    if (!statted || (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || (file = ::fdopen(fd, "wb")) == nullptr) {
      const int code = errno;
      ::close(fd);
      errno = code;
    }
  }
#endif
  if (file == nullptr) {
    return base::fail(FailureKind::System, "cannot create " + path + ": " + reason(errno != 0 ? errno : EIO));
  }
  return std::unique_ptr<Recording>(new Recording(file, path));
}

Recording::~Recording() { close(); }

void Recording::fail(int errorNumber) {
  if (error_.empty()) error_ = "cannot write " + path_ + ": " + reason(errorNumber != 0 ? errorNumber : EIO);
}

bool Recording::write(std::span<const std::uint8_t> bytes) {
  if (failed() || file_ == nullptr) return false;
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    fail(errno);
    return false;
  }
  if (std::fflush(file_) != 0) {
    fail(errno);
    return false;
  }
  bytes_ += bytes.size();
  return true;
}

bool Recording::close() {
  if (file_ == nullptr) return !failed();
  errno = 0;
  if (std::fclose(file_) != 0) fail(errno);
  file_ = nullptr;
  return !failed();
}

void Recording::discard() {
  close();
  std::error_code ec;
  std::filesystem::remove(fromUtf8(path_), ec);
}

}  // namespace tamrik::core
