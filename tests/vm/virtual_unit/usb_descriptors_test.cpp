#include <gtest/gtest.h>

#include "platform/hid/report_descriptor.h"
#include "platform/sim/simulation_options.h"
#include "tests/vm/virtual_unit/usb_descriptors.h"

namespace tamrik::vm {
namespace {

DeviceIdentity identityOf(const sim::UnitConfig& c) {
  DeviceIdentity id;
  id.inputReportLength = c.inputReportLength;
  id.featureReportLength = c.featureReportLength;
  return id;
}

// What the program reads from the node's report descriptor must be the lengths the simulated
// unit has, whatever lengths it is given; the HID descriptor names the descriptor's length.
TEST(VirtualUnitDescriptors, ReportLengthsAreTheSimulatedUnitsAsTheProgramParsesThem) {
  DeviceIdentity id = identityOf(sim::simulatedUnitConfig(0));
  for (const auto& [input, feature] : {std::pair{65, 65}, std::pair{65, 22}, std::pair{300, 1025}, std::pair{0, 65}}) {
    id.inputReportLength = input;
    id.featureReportLength = feature;
    const auto descriptor = reportDescriptor(id);
    const auto parsed = platform::parseReportDescriptor(descriptor);
    ASSERT_TRUE(parsed.info) << parsed.error;
    EXPECT_EQ(parsed.info->inputReportLength, input);
    EXPECT_EQ(parsed.info->featureReportLength, feature);
    EXPECT_EQ(parsed.info->outputReportLength, 0);
    EXPECT_FALSE(parsed.info->usesReportIds);
    const auto hid = hidDescriptor(id);
    EXPECT_EQ(hid[7] | hid[8] << 8, static_cast<int>(descriptor.size()));
  }
}

TEST(VirtualUnitDescriptors, StringsAreUtf16AndRefuseWhatIsNotUtf8) {
  EXPECT_EQ(utf16FromUtf8("Z\xC3\xA9\xE2\x84\xA6\xF0\x9F\x9B\xB0"), std::u16string(u"Z\u00E9\u2126\U0001F6F0"));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x84", "\x80", "\xFF"}) {
    EXPECT_FALSE(utf16FromUtf8(bad)) << bad;
  }
  DeviceIdentity id;
  id.serial = *utf16FromUtf8("\xF0\x9F\x9B\xB0");
  EXPECT_EQ(*stringDescriptor(id, kSerialIndex), (std::vector<std::uint8_t>{6, 3, 0x3D, 0xD8, 0xF0, 0xDE}));
  id.serialReadable = false;
  EXPECT_FALSE(stringDescriptor(id, kSerialIndex));
}

}  // namespace
}  // namespace tamrik::vm
