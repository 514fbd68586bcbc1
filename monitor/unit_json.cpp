#include "monitor/unit_json.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "numbers/dividers.h"
#include "numbers/frequency.h"
#include "numbers/number_format.h"

namespace tamrik::monitor {

text::JsonObject statusJson(const core::UnitIdentity& identity, const core::SettingsReport* settings,
                            const ReceiverState& r) {
  text::JsonObject o;
  o.text("serial", identity.serial)
      .text("manufacturer", identity.manufacturer)
      .text("product", identity.product)
      .text("firmware", identity.firmware);
  if (settings) {
    const numbers::Dividers& d = settings->dividers;
    text::JsonObject dividers;
    for (const DividerField& f : dividerFields(d)) dividers.integer(f.key, f.value);
    const int lastDrive = static_cast<int>(core::kDriveStrengths.size()) - 1;
    o.number("output_hz", numbers::displayedOutputHz(d))
        .raw("dividers", dividers.str())
        .number("f3_hz", frequencyHz(numbers::f3Frequency(d)))
        .number("fosc_hz", frequencyHz(numbers::oscillatorFrequency(d)))
        .boolean("output_enabled", settings->outputEnabled)
        .text("drive", core::kDriveStrengths[static_cast<std::size_t>(std::clamp(settings->driveIndex, 0, lastDrive))]);
  } else {
    o.null("output_hz").null("dividers").null("f3_hz").null("fosc_hz").null("output_enabled").null("drive");
  }
  if (r.status) {
    o.boolean("gps_signal", r.status->gpsSignal).boolean("pll_lock", r.status->pllLock).integer("loss_count", r.status->lossCount);
  } else {
    o.null("gps_signal").null("pll_lock").null("loss_count");
  }
  if (r.pvt && r.pvt->hasPosition()) {
    o.raw("position", text::JsonObject()
                          .raw("lat", numbers::scaledDecimal(r.pvt->lat, 7))
                          .raw("lon", numbers::scaledDecimal(r.pvt->lon, 7))
                          .raw("height_m", numbers::scaledDecimal(r.pvt->height, 3))
                          .str());
  } else {
    o.null("position");
  }
  if (const auto utc = utcOf(r)) {
    o.text("utc", utc->iso);
  } else {
    o.null("utc");
  }
  for (const TimingField& f : timingFields(timingOf(r))) o.raw(f.key, f.number.value_or("null"));
  if (r.satellites) {
    std::vector<std::string> satellites;
    for (const Satellite& sat : *r.satellites) {
      satellites.push_back(text::JsonObject()
                               .integer("channel", sat.channel)
                               .integer("svid", sat.svid)
                               .integer("cno", sat.cno)
                               .boolean("used", sat.used)
                               .integer("elevation", sat.elevation)
                               .str());
    }
    o.raw("satellites", text::jsonArray(satellites));
  } else {
    o.raw("satellites", "[]");  // no NAV-SVINFO seen yet: no satellites to show
  }
  return o;
}

}  // namespace tamrik::monitor
