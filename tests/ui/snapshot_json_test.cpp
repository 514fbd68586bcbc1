#include <gtest/gtest.h>

#include "ui/snapshot_json.h"

namespace tamrik::ui {
namespace {

TEST(SnapshotJson, CarriesWindowAndControlState) {
  WindowModel m = WindowModel::mainWindow();
  m.addItem("SerNo", "SIM001");
  m.setSelected("SerNo", 0);
  m.setChecked("OUT1EN", true);
  m.setText("lblManuf", " Maker \"quoted\"");
  const std::string json = snapshotJson(m);
  EXPECT_NE(json.find("\"window\":{\"caption\":\"Tamrik Configuration\",\"width_twips\":9450"), std::string::npos);
  EXPECT_NE(json.find("\"SerNo\":{\"kind\":\"combobox\""), std::string::npos);
  EXPECT_NE(json.find("\"items\":[\"SIM001\"],\"selected\":0"), std::string::npos);
  EXPECT_NE(json.find("\"checked\":true"), std::string::npos);
  EXPECT_NE(json.find("\" Maker \\\"quoted\\\"\""), std::string::npos);
  EXPECT_NE(json.find("\"LOS\":{\"kind\":\"label\",\"container\":\"Frame4\",\"text\":\"No GPS signal\","
                      "\"enabled\":true,\"visible\":true,\"back_color\":12648384"),
            std::string::npos);
  EXPECT_NE(json.find("\"Sat(0)\":{\"kind\":\"shape\""), std::string::npos);
  EXPECT_NE(json.find("\"accessible_name\":\"Output, Hz\""), std::string::npos);
  // Balanced braces: a cheap structural check that the writer closed everything it opened.
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
      ASSERT_GE(depth, 0);
    }
  }
  EXPECT_EQ(depth, 0);
}

}  // namespace
}  // namespace tamrik::ui
