#pragma once
#include <string>
#include <vector>

namespace tamrik::platform {

// Lists the HID interfaces present now, in enumeration order, by the path the kernel service opens.
class DeviceSetupService {
 public:
  virtual ~DeviceSetupService() = default;
  virtual std::vector<std::string> hidInterfacePaths() = 0;
};

}  // namespace tamrik::platform
