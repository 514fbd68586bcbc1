#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::string kRules = std::string(TAMRIK_SOURCE_DIR) + "/packaging/70-tamrik.rules";
const std::string kDesktop = std::string(TAMRIK_SOURCE_DIR) + "/packaging/tamrik-config.desktop";

bool run(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(UdevRule, GivesTheSeatUserAndThePlugdevGroupAccessToTheUnitsHidrawNodesOnly) {
  // Each comma-separated part of a rule is KEY[{attr}] OP "value".
  static const std::regex part(R"(\s*([A-Z_]+(?:\{[A-Za-z0-9_.\-]+\})?)\s*(==|!=|\+=|-=|:=|=)\s*\"([^\"]*)\"\s*)");
  std::ifstream in(kRules);
  ASSERT_TRUE(in);
  std::vector<std::multimap<std::string, std::string>> rules;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    auto& rule = rules.emplace_back();
    std::stringstream parts(line);
    for (std::string item; std::getline(parts, item, ',');) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(item, m, part)) << "cannot parse '" << item << "'";
      rule.emplace(m[1], m[2].str() + m[3].str());
    }
  }
  ASSERT_EQ(rules.size(), 1u);
  // The seat user through uaccess, system services through the group plugdev; nothing that would
  // open the nodes to every user (a MODE for others, an OWNER).
  const std::multimap<std::string, std::string> expected = {
      {"SUBSYSTEM", "==hidraw"}, {"ATTRS{idVendor}", "==1dd2"}, {"ATTRS{idProduct}", "==2211"},
      {"TAG", "+=uaccess"},      {"GROUP", "=plugdev"},       {"MODE", "=0660"}};
  EXPECT_EQ(rules[0], expected);
  // uaccess is applied by 73-seat-late.rules, so the name must sort before it.
  EXPECT_LT(std::filesystem::path(kRules).filename().string(), std::string("73-seat-late.rules"));
}

TEST(DesktopEntry, StartsTheProgramFromTheSettingsMenu) {
  std::ifstream in(kDesktop);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "[Desktop Entry]");
  std::map<std::string, std::string> keys;
  while (std::getline(in, line)) {
    const std::size_t eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << line;
    keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Exec"], "tamrik-config");
  EXPECT_FALSE(keys["Name"].empty());
  // HardwareSettings is an additional category; Settings is the main one it needs. The list ends in ';'.
  EXPECT_EQ(keys["Categories"], "Settings;HardwareSettings;");
  if (run("command -v desktop-file-validate >/dev/null 2>&1")) {
    EXPECT_TRUE(run("desktop-file-validate '" + kDesktop + "'"));
  }
}

}  // namespace
