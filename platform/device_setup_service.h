#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tamrik::platform {

// One HID interface as the system lists it.
struct HidInterface {
  std::string path;
  // True when the list gives the interface's vendor and product ID, so that nobody needs to open
  // it to learn them; false when only opening the interface tells.
  bool idsListed = false;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // The serial number the list gives without opening the interface, where it gives one. Only for
  // telling the user which device could not be opened: the serial a unit is chosen by is the one
  // it reports once open.
  std::string serial;
};

// Lists the HID interfaces present now, in enumeration order, by the path the kernel service opens.
class DeviceSetupService {
 public:
  virtual ~DeviceSetupService() = default;
  virtual std::vector<HidInterface> hidInterfaces() = 0;

  // The paths of hidInterfaces(), in the same order.
  std::vector<std::string> hidInterfacePaths() {
    std::vector<std::string> paths;
    for (auto& i : hidInterfaces()) paths.push_back(std::move(i.path));
    return paths;
  }
};

}  // namespace tamrik::platform
