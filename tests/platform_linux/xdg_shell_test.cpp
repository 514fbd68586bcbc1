#include "platform/linux/xdg_shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tamrik::platform {
namespace {

// The spawn seam keeps these tests from ever launching a browser.
struct RecordingSpawner {
  std::vector<std::vector<std::string>> calls;
  bool result = true;
  XdgShell::Spawner spawner() {
    return [this](const std::vector<std::string>& argv) {
      calls.push_back(argv);
      return result;
    };
  }
};

const std::string kMapLink = "https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093";

TEST(XdgShell, OpenerGetsTheLinkAsOneArgumentOutsideTheScript) {
  RecordingSpawner spawn;
  XdgShell shell("/usr/bin/xdg-open", spawn.spawner());
  EXPECT_TRUE(shell.openUrl(kMapLink));
  ASSERT_EQ(spawn.calls.size(), 1u);
  EXPECT_EQ(spawn.calls[0], backgroundOpenCommand("/usr/bin/xdg-open", kMapLink));
  EXPECT_EQ(spawn.calls[0].back(), kMapLink);
  EXPECT_EQ(spawn.calls[0][2].find(kMapLink), std::string::npos);

  EXPECT_FALSE(shell.openUrl("https://e.com/$(reboot)"));
  EXPECT_EQ(spawn.calls.size(), 1u);
  spawn.result = false;
  EXPECT_FALSE(shell.openUrl(kMapLink));
}

class XdgShellSpawn : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tamrik-shell-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), mode);
    return path;
  }
  std::string waitForFile(const std::filesystem::path& file) {
    for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path dir_;
};

TEST_F(XdgShellSpawn, OpenerIsFoundOnPathAndRunsDetachedWithoutLeavingAChild) {
  const std::string out = (dir_ / "opened").string();
  script("xdg-open", "printf '%s|%s' \"$#\" \"$1\" > '" + out + "'");
  script("not-executable", "", 0644);
  EXPECT_EQ(findExecutable("xdg-open", "relative:" + dir_.string()), (dir_ / "xdg-open").string());
  EXPECT_FALSE(findExecutable("not-executable", dir_.string()));
  EXPECT_FALSE(findExecutable("xdg-open", ":relative:/nonexistent"));

  // The real spawn, with a stand-in opener that records its arguments instead of opening anything.
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath != nullptr ? oldPath : "";
  ::setenv("PATH", dir_.c_str(), 1);
  const bool opened = XdgShell().openUrl(kMapLink);
  ::setenv("PATH", "/nonexistent", 1);
  const bool withoutOpener = XdgShell().openUrl(kMapLink);
  ::setenv("PATH", saved.c_str(), 1);

  EXPECT_TRUE(opened);
  EXPECT_FALSE(withoutOpener);
  EXPECT_EQ(waitForFile(out), "1|" + kMapLink);
  // The intermediate shell was reaped and the opener belongs to init: no child of ours remains.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(XdgShellSpawn, SpawnFailuresAreReported) {
  EXPECT_FALSE(spawnAndReap({}));
  EXPECT_FALSE(spawnAndReap({"sh", "-c", "true"}));  // not an absolute path
  EXPECT_FALSE(spawnAndReap({(dir_ / "missing").string()}));
  EXPECT_FALSE(spawnAndReap({script("fails", "exit 3")}));
  EXPECT_TRUE(spawnAndReap({script("succeeds", "exit 0")}));
}

}  // namespace
}  // namespace tamrik::platform
