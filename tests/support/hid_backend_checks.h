#pragma once
// Checks every hidapi backend must pass, whatever system it reaches devices on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/hid/hidapi_devices.h"

namespace tamrik::testing {

// Every call on a handle the backend never gave out (or none at all) fails and touches nothing.
inline void expectUnknownHandlesRefused(platform::HidapiDevices& backend) {
  using namespace std::chrono_literals;
  std::vector<std::uint8_t> report(65);
  for (platform::DeviceHandle h :
       {platform::kNoHandle, platform::kInvalidHandle, platform::DeviceHandle{1}, platform::DeviceHandle{123456}}) {
    EXPECT_FALSE(backend.attributes(h)) << h;
    EXPECT_FALSE(backend.string(h, platform::HidString::SerialNumber, 100)) << h;
    EXPECT_FALSE(backend.capabilities(h)) << h;
    EXPECT_FALSE(backend.setFeature(h, report)) << h;
    EXPECT_FALSE(backend.getFeature(h, report)) << h;
    EXPECT_FALSE(backend.readInputReports(h, report, 10ms).ok) << h;
    EXPECT_FALSE(backend.close(h)) << h;
  }
}

}  // namespace tamrik::testing
