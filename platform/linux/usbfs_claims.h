#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tamrik::platform {

// A USB device whose HID interface a program has taken from the kernel's HID driver through usbfs
// (libusb's detach_kernel_driver and claim_interface, or the USBDEVFS_DISCONNECT_CLAIM request).
// While the program holds it the device has no hidraw node: only sysfs still tells of it.
struct UsbfsClaim {
  std::string node;  // the device's usbfs node, "/dev/bus/usb/001/002"
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial;  // the device's serial string as sysfs gives it; empty when it has none
};

// The USB devices under <sysRoot>/bus/usb/devices with the given IDs of which an interface of the
// HID class is bound to the usbfs driver. Only sysfs attribute files are read, never a device;
// no more than maxEntries entries of the device list are looked at.
std::vector<UsbfsClaim> usbfsClaims(const std::filesystem::path& sysRoot, std::uint16_t vendorId,
                                    std::uint16_t productId, int maxEntries = 4096);

}  // namespace tamrik::platform
