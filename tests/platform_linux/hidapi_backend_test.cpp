#include "platform/linux/hidapi_backend.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "platform/hid/utf8_conversions.h"
#include "platform/linux/device_holders.h"
#include "platform/linux/hidraw_descriptor.h"
#include "tests/support/hid_backend_checks.h"

namespace tamrik::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class HidrawDescriptorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tamrik-sysfs-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path node(const std::string& name) {
    auto dir = root_ / "class" / "hidraw" / name / "device";
    std::filesystem::create_directories(dir);
    return dir / "report_descriptor";
  }
  void write(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  std::filesystem::path root_;
};

TEST_F(HidrawDescriptorFiles, DescriptorIsReadForHidrawNodesOnly) {
  const Bytes desc = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0};
  write(node("hidraw7"), desc);
  EXPECT_EQ(readSysfsReportDescriptor("/dev/hidraw7", root_), desc);
  for (const char* path : {"/dev/hidraw8", "/dev/hidraw", "/dev/hidraw7x", "/dev/../hidraw7/..", "",
                           "/dev/hidraw1234567", "/dev/hidraw-1"}) {
    EXPECT_FALSE(readSysfsReportDescriptor(path, root_)) << path;
  }
}

TEST_F(HidrawDescriptorFiles, EmptyHugeOrSpecialFilesAreRefused) {
  write(node("hidraw1"), {});
  write(node("hidraw2"), Bytes(kMaxReportDescriptorBytes + 1, 0x05));
  std::filesystem::create_directories(node("hidraw3"));
  ASSERT_EQ(::mkfifo(node("hidraw4").c_str(), 0600), 0);  // would block a plain open
  for (const char* path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"}) {
    EXPECT_FALSE(readSysfsReportDescriptor(path, root_)) << path;
  }
  // Neither a regular file nor a character device without a hidraw driver answers the ioctl.
  EXPECT_FALSE(readIoctlReportDescriptor(node("hidraw2")));
  EXPECT_FALSE(readIoctlReportDescriptor("/dev/null"));
  EXPECT_FALSE(isHidrawNode("/dev/null"));
}

// A node this user may not open is still known as a hidraw node by its number in sysfs, so that
// the refusal is told as one; a file or another device under a hidraw name is not.
TEST_F(HidrawDescriptorFiles, ANodeIsKnownByItsNumberWithoutOpeningIt) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  const auto number = std::to_string(major(null.st_rdev)) + ":" + std::to_string(minor(null.st_rdev));
  const auto dev = root_ / "dev";
  std::filesystem::create_directories(dev);
  for (const auto& [name, sysfs] : std::map<std::string, std::string>{
           {"hidraw5", number + "\n"}, {"hidraw6", "1:999\n"}, {"hidraw7", number + "\n"}}) {
    std::filesystem::create_directories(root_ / "class" / "hidraw" / name);
    std::ofstream(root_ / "class" / "hidraw" / name / "dev") << sysfs;
  }
  std::filesystem::create_symlink("/dev/null", dev / "hidraw5");  // a character device of that number
  std::filesystem::create_symlink("/dev/null", dev / "hidraw6");  // another number than sysfs names
  std::ofstream(dev / "hidraw7") << "a file";
  std::filesystem::create_symlink("/dev/null", dev / "null");
  EXPECT_TRUE(isListedHidrawNode((dev / "hidraw5").string(), root_));
  EXPECT_FALSE(isListedHidrawNode((dev / "hidraw6").string(), root_));
  EXPECT_FALSE(isListedHidrawNode((dev / "hidraw7").string(), root_));
  EXPECT_FALSE(isListedHidrawNode((dev / "hidraw8").string(), root_));
  EXPECT_FALSE(isListedHidrawNode((dev / "null").string(), root_));
}

TEST_F(HidrawDescriptorFiles, TheProgramsHoldingANodeAreFoundByTheirOpenFiles) {
  const std::filesystem::path proc = root_ / "proc";
  auto process = [&](const std::string& pid, const std::string& comm, std::vector<std::string> links) {
    std::filesystem::create_directories(proc / pid / "fd");
    std::ofstream(proc / pid / "comm") << comm << "\n";
    for (std::size_t i = 0; i < links.size(); ++i) {
      std::filesystem::create_symlink(links[i], proc / pid / "fd" / std::to_string(i));
    }
  };
  process("812", "gpsd", {"/dev/null", "/dev/hidraw3"});
  process("900", "other", {"/dev/hidraw30", "socket:[1234]"});
  process("901", "two\x1b[2Jnames", {"/dev/hidraw3", "/dev/hidraw3"});  // told once, as plain text
  process("self", "not a process", {"/dev/hidraw3"});
  std::filesystem::create_directories(proc / "902");  // gone, or not ours to look into: no fd/
  const std::string holders = deviceHolders("/dev/hidraw3", proc);
  EXPECT_TRUE(holders == "gpsd (process 812), two?[2Jnames (process 901)" ||
              holders == "two?[2Jnames (process 901), gpsd (process 812)")
      << holders;
  EXPECT_EQ(deviceHolders("/dev/hidraw4", proc), "");
  EXPECT_EQ(deviceHolders("/dev/hidraw3", root_ / "no-proc"), "");
}

TEST_F(HidrawDescriptorFiles, AUnitAProgramTookThroughUsbfsIsListedAndBusy) {
  const std::filesystem::path sys = root_ / "sys";
  const std::filesystem::path proc = root_ / "proc";
  auto attributes = [](const std::filesystem::path& dir, std::map<std::string, std::string> values) {
    std::filesystem::create_directories(dir);
    for (const auto& [name, value] : values) std::ofstream(dir / name) << value << "\n";
  };
  // A USB device with its interface below it, bound to driver; the device list holds both.
  auto device = [&](const std::string& name, const std::string& ids, const std::string& bus, const std::string& address,
                    const std::string& driver) {
    const auto dir = sys / "bus" / "usb" / "devices" / name;
    attributes(dir, {{"idVendor", ids.substr(0, 4)}, {"idProduct", ids.substr(5)}, {"busnum", bus},
                     {"devnum", address}, {"serial", "TZ" + address}});
    attributes(dir / (name + ":1.0"), {{"bInterfaceClass", "03"}});
    std::filesystem::create_symlink("../../../../bus/usb/drivers/" + driver, dir / (name + ":1.0") / "driver");
    std::filesystem::create_directory_symlink(dir / (name + ":1.0"), sys / "bus" / "usb" / "devices" / (name + ":1.0"));
  };
  device("1-4", "1dd2:2211", "1", "7", "usbfs");
  device("1-5", "1dd2:2211", "1", "8", "usbhid");     // the kernel's: its hidraw node is hidapi's to list
  device("2-1.3", "046d:c52b", "2", "12", "usbfs");   // another vendor's
  attributes(sys / "bus" / "usb" / "devices" / "usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}});
  std::filesystem::create_directories(proc / "812" / "fd");
  std::ofstream(proc / "812" / "comm") << "python3\n";
  std::filesystem::create_symlink("/dev/bus/usb/001/007", proc / "812" / "fd" / "5");

  HidapiBackend backend(sys, proc);
  std::vector<HidInterface> claimed;
  for (HidInterface& i : backend.hidInterfaces()) {
    if (i.path.starts_with("usbfs:")) claimed.push_back(std::move(i));
  }
  ASSERT_EQ(claimed.size(), 1u);
  EXPECT_EQ(claimed[0].path, "usbfs:/dev/bus/usb/001/007");
  EXPECT_TRUE(claimed[0].idsListed);
  EXPECT_EQ(claimed[0].vendorId, 0x1DD2);
  EXPECT_EQ(claimed[0].productId, 0x2211);
  EXPECT_EQ(claimed[0].serial, "TZ7");

  EXPECT_EQ(backend.open(claimed[0].path, OpenMode::Plain), kInvalidHandle);
  const OpenFailure busy = backend.lastOpenFailure();
  EXPECT_EQ(busy.kind, OpenFailure::Kind::Busy);
  EXPECT_EQ(busy.text, std::strerror(EBUSY));
  EXPECT_EQ(busy.holders, "python3 (process 812)");
  // A path of that form names no usbfs node unless it says so.
  EXPECT_EQ(backend.open("usbfs:/etc/passwd", OpenMode::Plain), kInvalidHandle);
  EXPECT_EQ(backend.lastOpenFailure().kind, OpenFailure::Kind::Absent);
}

TEST(Utf8Conversions, HidapisStringsConvertWholeUnderTheCLocale) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (utf8 == nullptr) GTEST_SKIP() << "this system has no C.UTF-8 locale";
  freelocale(utf8);
  const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  ASSERT_NE(c, nullptr);
  const locale_t before = uselocale(c);
  const char* text = "T\xc3\xa4mrik";  // UTF-8, as sysfs gives it
  EXPECT_EQ(std::mbstowcs(nullptr, text, 0), static_cast<std::size_t>(-1));
  {
    const Utf8Conversions conversions;
    wchar_t wide[8] = {};
    EXPECT_EQ(std::mbstowcs(wide, text, 8), 6u);
    EXPECT_EQ(std::wstring(wide), L"T\u00e4mrik");
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");  // the process's locale is not touched
  }
  EXPECT_EQ(uselocale(nullptr), c);
  uselocale(before);
  freelocale(c);
}

TEST(HidapiBackend, WorksWithoutDevicesAndRefusesBadPathsAndHandles) {
  HidapiBackend backend;
  const auto paths = backend.hidInterfacePaths();
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());

  // /dev/null and a regular file would crash hidapi 0.13's own open.
  for (const char* path : {"", "/dev/hidraw-does-not-exist", "/dev/null", "/etc/passwd", "/dev"}) {
    EXPECT_EQ(backend.open(path, OpenMode::Plain), kInvalidHandle) << path;
  }
  tamrik::testing::expectUnknownHandlesRefused(backend);
}

}  // namespace
}  // namespace tamrik::platform
