#include "device/device_link.h"

#include <set>

#include "numbers/frequency.h"
#include "core/protocol.h"
#include "device/settings_captions.h"
#include "ui/satellite_chart.h"

namespace tamrik::device {

namespace {

// The boxes a readback writes, whose text the user may be changing.
constexpr const char* kReadbackBoxes[] = {"Out1Freq", "GPS",    "N31",    "N2_HS", "N2_LS",
                                          "N1_HS",    "NC1_LS", "NC2_LS", "BW"};

}  // namespace

DeviceLink::DeviceLink(WindowState& state) : s_(state) {}

void DeviceLink::Scan_USB_devices() {
  auto& m = s_.model;
  s_.flags.ScanDone = false;
  m.clearItems("SerNo");
  m.setEnabled("SerNo", false);
  const std::vector<core::UnitEntry> units = s_.link.unit().units().units;
  for (std::size_t i = 0; i < units.size(); ++i) {
    m.addItem("SerNo", units[i].serial);
    m.setSelected("SerNo", static_cast<int>(i));
  }
  if (units.size() > 1) m.setEnabled("SerNo", true);
  s_.flags.ScanDone = true;
}

bool DeviceLink::FindTheHid() { return s_.link.open(s_.model.selectedText("SerNo")); }

void DeviceLink::ReadUnitSettings(Readback kind) {
  auto& m = s_.model;
  UnitLink& link = s_.link;
  core::Unit& unit = link.unit();
  ++s_.readbackCount;

  // After a drift command the unit the last readback showed is refreshed in place: nothing is
  // cleared or disabled on the way (that would move the focus), and a box whose text the user has
  // changed since the readback last wrote it keeps that text.
  const bool inPlace = kind == Readback::AfterDrift && unit.usable() && shownEpoch_ == unit.epoch();
  std::set<std::string> userTexts;
  if (inPlace) {
    for (const char* box : kReadbackBoxes) {
      if (m.at(box).text != shownTexts_[box]) userTexts.insert(box);
    }
  }
  auto setBox = [&](const char* box, const std::string& text) {
    if (!userTexts.contains(box)) m.setText(box, text);
  };

  if (!inPlace) s_.flags.BlinkOn = false;
  link.settingsRead(false);
  shownEpoch_.reset();

  if (!inPlace) {
    m.setText("lblManuf", "");
    m.setText("lblProduct", "");
    m.setText("lblVersion", "");
    m.clearItems("Enc1");
    m.setEnabled("Enc1", false);
    m.setEnabled("OUT1ID", false);
    m.setChecked("OUT1EN", false);
    m.setEnabled("OUT1EN", false);
    m.setText("Out1Freq", "");
    m.setEnabled("Out1Freq", false);
    m.setEnabled("FindFreq", false);
    m.setEnabled("SetFreq", false);
    m.setEnabled("Advanced", false);
    for (const char* box : {"GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "NC2_LS"}) m.setText(box, "");
    m.setEnabled("Frame3", false);
  }

  if (!link.isOpen()) {
    // No unit to show; one that is attached but held by another program is not its absence.
    const auto& unopened = unit.unopened();
    if (!unopened.empty()) m.setText("lblProduct", " " + core::unopenedText(unopened.front()));
    return;
  }

  // The version is shown, and chooses the receiver's rates, only with a readable manufacturer.
  const core::UnitReadback readback = unit.readback();
  const core::UnitStrings& strings = readback.identity.strings;
  if (strings.manufacturer) {
    m.setText("lblManuf", " " + *strings.manufacturer);
    m.setText("lblVersion", " " + readback.identity.firmware);
  } else if (inPlace) {
    m.setText("lblManuf", "");
    m.setText("lblVersion", "");
  }
  if (strings.product) {
    m.setText("lblProduct", " " + *strings.product);
  } else if (inPlace) {
    m.setText("lblProduct", "");
  }
  m.setEnabled("Frame1", true);

  // A unit whose feature report cannot carry the settings report is shown but never read or
  // commanded: its controls stay disabled and the version line says why.
  if (!readback.identity.usable) {
    m.setText("lblVersion", m.at("lblVersion").text + " (unit not usable: feature report of " +
                                std::to_string(readback.identity.featureReportLength) + " bytes)");
    return;
  }

  if (!inPlace) {
    for (const char* strength : core::kDriveStrengths) m.addItem("Enc1", strength);
    m.setSelected("Enc1", 0);
  }
  m.setEnabled("Enc1", true);
  m.setEnabled("OUT1ID", true);
  m.setEnabled("OUT1EN", true);
  m.setEnabled("Out1Freq", true);
  m.setEnabled("FindFreq", true);
  m.setText("FindFreq", "Set frequency");
  m.setEnabled("SetFreq", true);
  m.setEnabled("Advanced", true);
  m.setEnabled("Frame3", true);

  if (const std::optional<core::SettingsReport>& settings = readback.settings) {
    const core::Dividers& v = settings->dividers;
    m.setChecked("OUT1EN", settings->outputEnabled);
    m.setSelected("Enc1", settings->driveIndex);
    setBox("GPS", std::to_string(v.gps));
    setBox("N31", std::to_string(v.n31));
    setBox("N2_HS", std::to_string(v.n2_hs));
    setBox("N2_LS", std::to_string(v.n2_ls));
    setBox("N1_HS", std::to_string(v.n1_hs));
    setBox("NC1_LS", std::to_string(v.nc1_ls));
    setBox("NC2_LS", std::to_string(v.nc2_ls));
    setBox("BW", std::to_string(v.bw));
    setBox("Out1Freq", core::outputHzText(v, s_.numberFormat.decimalSeparator));
    m.setText("F3lbl", f3Caption(v));
    m.setText("Fosclbl", foscCaption(v, s_.numberFormat));
    if (!inPlace) {
      m.setFocus("Out1Freq");
      m.setSelStart("Out1Freq", 999);
    }
  } else if (inPlace) {
    // What a failed read leaves, as the clearing at the start would have left it.
    m.setChecked("OUT1EN", false);
    m.setSelected("Enc1", 0);
    for (const char* box : {"GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "NC2_LS", "Out1Freq"}) setBox(box, "");
  }

  link.settingsRead(true);
  for (const char* box : kReadbackBoxes) {
    if (!userTexts.contains(box)) shownTexts_[box] = m.at(box).text;
  }
  shownEpoch_ = unit.epoch();

  unit.setMessageRates(readback.rates);

  ui::resetSatelliteBars(m, false);
}

void DeviceLink::SerNoClick() {
  if (!s_.flags.ScanDone) return;
  auto& m = s_.model;
  m.setEnabled("Timer", false);
  s_.link.switchUnit();
  FindTheHid();
  ReadUnitSettings();
  m.setEnabled("Timer", true);
}

void DeviceLink::Reconnect() {
  Scan_USB_devices();
  s_.link.reconnect(s_.model.selectedText("SerNo"));
  ReadUnitSettings();
}

void DeviceLink::Unload() {
  if (s_.link.settingsLoaded()) s_.link.unit().stopNavMessages();
  s_.model.setEnabled("Timer", false);
  s_.flags.ScanDone = false;
  s_.link.close();
}

}  // namespace tamrik::device
