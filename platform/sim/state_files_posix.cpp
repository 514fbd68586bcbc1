#include "platform/sim/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tamrik::sim::state_files {

namespace {

std::string reason(int code) { return std::strerror(code); }

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string probeWritable(const std::filesystem::path& folder) {
  std::string probe = (folder / ".write-test.XXXXXX").string();
  const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return reason(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

ReadOutcome readSmallFile(const std::filesystem::path& file, std::size_t limit) {
  ReadOutcome out;
  // Without waiting: a FIFO or a device in the file's place would hold the open or the reads.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      out.missing = true;
    } else {
      out.error = reason(errno);
    }
    return out;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    out.error = S_ISDIR(st.st_mode) ? reason(EISDIR) : "not a regular file";
    ::close(fd);
    return out;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = reason(errno);
      break;
    }
    if (n == 0) break;
    out.text.append(buffer, static_cast<std::size_t>(n));
    if (out.text.size() > limit) {
      out.tooLarge = true;
      break;
    }
  }
  ::close(fd);
  return out;
}

TemporaryOutcome writeTemporary(const std::filesystem::path& target, std::string_view text) {
  TemporaryOutcome out;
  std::string temporary = target.string() + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    out.error = reason(errno);
    return out;
  }
  out.path = temporary;
  const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  const int code = errno;
  if (::close(fd) != 0 && written) {
    out.error = reason(errno);
  } else if (!written) {
    out.error = reason(code);
  }
  return out;
}

std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? std::string() : reason(errno);
}

std::string syncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return reason(errno);
  const bool ok = ::fsync(fd) == 0;
  const int code = errno;
  ::close(fd);
  return ok ? std::string() : reason(code);
}

void removeQuietly(const std::filesystem::path& file) { ::unlink(file.c_str()); }

}  // namespace tamrik::sim::state_files
