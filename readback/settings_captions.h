#pragma once
#include <string>

#include "numbers/dividers.h"
#include "numbers/frequency.h"
#include "ui/number_text.h"

namespace tamrik::readback {

// The captions of the settings frame for a divider set: "F3 = 958333 Hz " and "Fosc = 5.06 GHz ",
// the numbers as the core writes them, with the user's decimal separator.
inline std::string f3Caption(const numbers::Dividers& d) { return "F3 = " + numbers::f3HzText(d) + " Hz "; }
inline std::string foscCaption(const numbers::Dividers& d, const ui::NumberFormat& format) {
  return "Fosc = " + numbers::oscillatorGhzText(d, format.decimalSeparator) + " GHz ";
}

}  // namespace tamrik::readback
