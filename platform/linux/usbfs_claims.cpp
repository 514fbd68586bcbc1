#include "platform/linux/usbfs_claims.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <system_error>

namespace tamrik::platform {

namespace fs = std::filesystem;

namespace {

// A sysfs attribute file's first line, read without blocking (a FIFO planted where the file should
// be cannot stall the listing) and cut at maxBytes. std::nullopt when it is missing or no
// regular file.
std::optional<std::string> readAttribute(const fs::path& file, std::size_t maxBytes = 512) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text(maxBytes, '\0');
  std::size_t got = 0;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      ok = n == 0;
      break;
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  text.resize(got);
  if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
  return text;
}

// A number of at most `digits` digits in the given base, and nothing else.
std::optional<unsigned> number(const std::optional<std::string>& text, int base, std::size_t digits) {
  if (!text || text->empty() || text->size() > digits) return std::nullopt;
  unsigned value = 0;
  const char* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, value, base);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// True when one of the device's interfaces ("1-4:1.0" below "1-4") is of the HID class and bound
// to usbfs, that is taken by a program rather than by the kernel's HID driver.
bool hidInterfaceClaimed(const fs::path& device, const std::string& name) {
  std::error_code ec;
  int looked = 0;
  for (fs::directory_iterator child(device, ec), end; !ec && child != end && looked < 256; child.increment(ec)) {
    ++looked;
    const std::string childName = child->path().filename().string();
    if (!childName.starts_with(name + ":")) continue;
    if (readAttribute(child->path() / "bInterfaceClass") != "03") continue;
    std::error_code linkError;
    const fs::path driver = fs::read_symlink(child->path() / "driver", linkError);
    if (!linkError && driver.filename() == "usbfs") return true;
  }
  return false;
}

std::string threeDigits(unsigned n) {
  std::string text = std::to_string(n);
  return std::string(text.size() < 3 ? 3 - text.size() : 0, '0') + text;
}

}  // namespace

std::vector<UsbfsClaim> usbfsClaims(const fs::path& sysRoot, std::uint16_t vendorId, std::uint16_t productId,
                                    int maxEntries) {
  std::vector<UsbfsClaim> claims;
  std::error_code ec;
  int looked = 0;
  for (fs::directory_iterator entry(sysRoot / "bus" / "usb" / "devices", ec), end;
       !ec && entry != end && looked < maxEntries; entry.increment(ec)) {
    ++looked;
    const fs::path device = entry->path();
    const std::string name = device.filename().string();
    if (name.find(':') != std::string::npos) continue;  // an interface, not a device
    if (number(readAttribute(device / "idVendor"), 16, 4) != unsigned{vendorId} ||
        number(readAttribute(device / "idProduct"), 16, 4) != unsigned{productId}) {
      continue;
    }
    const auto bus = number(readAttribute(device / "busnum"), 10, 3);
    const auto address = number(readAttribute(device / "devnum"), 10, 3);
    if (!bus || !address || !hidInterfaceClaimed(device, name)) continue;
    claims.push_back({"/dev/bus/usb/" + threeDigits(*bus) + "/" + threeDigits(*address), vendorId, productId,
                      readAttribute(device / "serial").value_or("")});
  }
  return claims;
}

}  // namespace tamrik::platform
