#include "platform/linux/hidraw_descriptor.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/hid/report_descriptor.h"

namespace tamrik::platform {

namespace {

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// "hidraw" followed by a decimal node number: the only names taken from a device path, so that a
// crafted path cannot point the reader elsewhere under /sys.
bool isHidrawNodeName(const std::string& name) {
  constexpr std::string_view kPrefix = "hidraw";
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 6) return false;
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  for (std::size_t i = kPrefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> readSysfsReportDescriptor(const std::string& devicePath,
                                                                   const std::filesystem::path& sysRoot) {
  const std::size_t slash = devicePath.rfind('/');
  const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
  if (!isHidrawNodeName(name)) return std::nullopt;

  const std::filesystem::path file = sysRoot / "class" / "hidraw" / name / "device" / "report_descriptor";
  // Non-blocking, so that a FIFO planted where the file should be cannot stall the open.
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  // sysfs reports a nominal file size, so read to the end instead of trusting st_size.
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxReportDescriptorBytes) return std::nullopt;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

bool isHidrawNode(const std::string& devicePath) {
  Fd fd(::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat st {};
  int size = 0;
  return ::fstat(fd.get(), &st) == 0 && S_ISCHR(st.st_mode) && ::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) >= 0;
}

bool isListedHidrawNode(const std::string& devicePath, const std::filesystem::path& sysRoot) {
  const std::size_t slash = devicePath.rfind('/');
  const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
  struct stat st {};
  if (!isHidrawNodeName(name) || ::stat(devicePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const std::filesystem::path file = sysRoot / "class" / "hidraw" / name / "dev";
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  char text[32] = {};
  const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
  if (n <= 0) return false;
  const std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  return std::string_view(text, static_cast<std::size_t>(n)) == number + "\n" ||
         std::string_view(text, static_cast<std::size_t>(n)) == number;
}

std::optional<std::vector<std::uint8_t>> readIoctlReportDescriptor(const std::string& devicePath) {
  Fd fd(::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;

  int size = 0;
  if (::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) < 0) return std::nullopt;
  if (size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) return std::nullopt;
  hidraw_report_descriptor desc{};
  desc.size = static_cast<__u32>(size);
  if (::ioctl(fd.get(), HIDIOCGRDESC, &desc) < 0) return std::nullopt;
  return std::vector<std::uint8_t>(desc.value, desc.value + size);
}

}  // namespace tamrik::platform
