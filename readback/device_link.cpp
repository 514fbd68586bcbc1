#include "readback/device_link.h"

#include <set>

#include "numbers/frequency.h"
#include "core/protocol.h"
#include "readback/settings_captions.h"
#include "ui/satellite_chart.h"

namespace tamrik::readback {

DeviceLink::DeviceLink(window::WindowState& state) : s_(state) {}

void DeviceLink::Scan_USB_devices() {
  auto& c = s_.controls;
  s_.flags.ScanDone = false;
  c.SerNo.clearItems();
  c.SerNo.setEnabled(false);
  const std::vector<core::UnitEntry> units = s_.link.unit().units().units;
  for (std::size_t i = 0; i < units.size(); ++i) {
    c.SerNo.addItem(units[i].serial);
    c.SerNo.setSelected(static_cast<int>(i));
  }
  if (units.size() > 1) c.SerNo.setEnabled(true);
  s_.flags.ScanDone = true;
}

bool DeviceLink::FindTheHid() { return s_.link.open(s_.controls.SerNo.selectedText()); }

void DeviceLink::ReadUnitSettings(Readback kind) {
  auto& c = s_.controls;
  window::UnitLink& link = s_.link;
  core::Unit& unit = link.unit();
  ++s_.readbackCount;

  // After a drift command the unit the last readback showed is refreshed in place: nothing is
  // cleared or disabled on the way (that would move the focus), and a box whose text the user has
  // changed since the readback last wrote it keeps that text.
  const bool inPlace = kind == Readback::AfterDrift && unit.usable() && shownEpoch_ == unit.epoch();
  std::set<const ui::ControlHandle*> userTexts;
  if (inPlace) {
    for (const ui::ControlHandle* box : c.readbackBoxes) {
      if (box->text() != shownTexts_[box->name()]) userTexts.insert(box);
    }
  }
  auto setBox = [&](ui::ControlHandle& box, const std::string& text) {
    if (!userTexts.contains(&box)) box.setText(text);
  };

  if (!inPlace) s_.flags.BlinkOn = false;
  link.settingsRead(false);
  shownEpoch_.reset();

  if (!inPlace) {
    c.lblManuf.setText("");
    c.lblProduct.setText("");
    c.lblVersion.setText("");
    c.Enc1.clearItems();
    c.Enc1.setEnabled(false);
    c.OUT1ID.setEnabled(false);
    c.OUT1EN.setChecked(false);
    c.OUT1EN.setEnabled(false);
    c.Out1Freq.setText("");
    c.Out1Freq.setEnabled(false);
    c.FindFreq.setEnabled(false);
    c.SetFreq.setEnabled(false);
    c.Advanced.setEnabled(false);
    for (ui::ControlHandle* box : c.dividerBoxes) box->setText("");
    c.Frame3.setEnabled(false);
  }

  if (!link.isOpen()) {
    // No unit to show; one that is attached but held by another program is not its absence.
    const auto& unopened = unit.unopened();
    if (!unopened.empty()) c.lblProduct.setText(" " + core::unopenedText(unopened.front()));
    return;
  }

  // The version is shown, and chooses the receiver's rates, only with a readable manufacturer.
  const core::UnitReadback readback = unit.readback();
  const core::UnitStrings& strings = readback.identity.strings;
  if (strings.manufacturer) {
    c.lblManuf.setText(" " + *strings.manufacturer);
    c.lblVersion.setText(" " + readback.identity.firmware);
  } else if (inPlace) {
    c.lblManuf.setText("");
    c.lblVersion.setText("");
  }
  if (strings.product) {
    c.lblProduct.setText(" " + *strings.product);
  } else if (inPlace) {
    c.lblProduct.setText("");
  }
  c.Frame1.setEnabled(true);

  // A unit whose feature report cannot carry the settings report is shown but never read or
  // commanded: its controls stay disabled and the version line says why.
  if (!readback.identity.usable) {
    c.lblVersion.setText(c.lblVersion.text() + " (unit not usable: feature report of " +
                                std::to_string(readback.identity.featureReportLength) + " bytes)");
    return;
  }

  if (!inPlace) {
    for (const char* strength : core::kDriveStrengths) c.Enc1.addItem(strength);
    c.Enc1.setSelected(0);
  }
  c.Enc1.setEnabled(true);
  c.OUT1ID.setEnabled(true);
  c.OUT1EN.setEnabled(true);
  c.Out1Freq.setEnabled(true);
  c.FindFreq.setEnabled(true);
  c.FindFreq.setText("Set frequency");
  c.SetFreq.setEnabled(true);
  c.Advanced.setEnabled(true);
  c.Frame3.setEnabled(true);

  if (const std::optional<core::SettingsReport>& settings = readback.settings) {
    const numbers::Dividers& v = settings->dividers;
    c.OUT1EN.setChecked(settings->outputEnabled);
    c.Enc1.setSelected(settings->driveIndex);
    setBox(c.GPS, std::to_string(v.gps));
    setBox(c.N31, std::to_string(v.n31));
    setBox(c.N2_HS, std::to_string(v.n2_hs));
    setBox(c.N2_LS, std::to_string(v.n2_ls));
    setBox(c.N1_HS, std::to_string(v.n1_hs));
    setBox(c.NC1_LS, std::to_string(v.nc1_ls));
    setBox(c.NC2_LS, std::to_string(v.nc2_ls));
    setBox(c.BW, std::to_string(v.bw));
    setBox(c.Out1Freq, numbers::outputHzText(v, s_.numberFormat.decimalSeparator));
    c.F3lbl.setText(f3Caption(v));
    c.Fosclbl.setText(foscCaption(v, s_.numberFormat));
    if (!inPlace) {
      c.Out1Freq.setFocus();
      c.Out1Freq.setSelStart(999);
    }
  } else if (inPlace) {
    // What a failed read leaves, as the clearing at the start would have left it.
    c.OUT1EN.setChecked(false);
    c.Enc1.setSelected(0);
    for (ui::ControlHandle* box : c.dividerBoxes) setBox(*box, "");
    setBox(c.Out1Freq, "");
  }

  link.settingsRead(true);
  for (const ui::ControlHandle* box : c.readbackBoxes) {
    if (!userTexts.contains(box)) shownTexts_[box->name()] = box->text();
  }
  shownEpoch_ = unit.epoch();

  unit.setMessageRates(readback.rates);

  ui::resetSatelliteBars(s_.model, false);
}

void DeviceLink::SerNoClick() {
  if (!s_.flags.ScanDone) return;
  auto& c = s_.controls;
  c.Timer.setEnabled(false);
  s_.link.switchUnit();
  FindTheHid();
  ReadUnitSettings();
  c.Timer.setEnabled(true);
}

void DeviceLink::Reconnect() {
  Scan_USB_devices();
  s_.link.reconnect(s_.controls.SerNo.selectedText());
  ReadUnitSettings();
}

void DeviceLink::Unload() {
  if (s_.link.settingsLoaded()) s_.link.unit().stopNavMessages();
  s_.controls.Timer.setEnabled(false);
  s_.flags.ScanDone = false;
  s_.link.close();
}

}  // namespace tamrik::readback
