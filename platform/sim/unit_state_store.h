#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/firmware_model.h"

namespace tamrik::sim {

// What a simulated unit keeps between runs, as a real one keeps it over a power cycle: its
// non-volatile settings and its serial number (one byte a character, as the firmware stores it).
struct KeptUnitState {
  NonVolatileSettings firmware;
  std::string serial;

  friend bool operator==(const KeptUnitState&, const KeptUnitState&) = default;
};

inline constexpr int kKeptStateFormat = 1;
inline constexpr std::size_t kKeptSerialMaxLength = 126;  // what a USB string descriptor holds

// The file's text: a comment, then one key=value line each, "format=1" first:
//   format serial output_flags drive_index gps n31 n2_hs n2_ls n1_hs nc1_ls nc2_ls reserved bw
// Numbers are decimal. The serial is written as it is where a character is printable ASCII other
// than the backslash; any other byte as \xHH.
std::string formatKeptState(const KeptUnitState& state, std::string_view unitName);

struct ParsedKeptState {
  std::optional<KeptUnitState> state;
  std::string error;  // what is wrong, with its line where it has one
};
// Reads what formatKeptState writes. Blank lines and lines starting with '#' are skipped and
// blanks around keys and values are allowed; every key must be given exactly once, with a value a
// unit can hold (the divider ranges of the settings block, bytes 0 to 255).
ParsedKeptState parseKeptState(std::string_view text);

// A folder of kept unit states, one file per unit named KEY.state. A save writes a temporary file
// in the same folder, syncs it and renames it over the old file, then syncs the folder: the file
// holds the old or the new state, whenever the program is stopped.
class UnitStateStore {
 public:
  explicit UnitStateStore(std::filesystem::path folder);

  // Creates the folder when it is missing and checks that files can be written in it. Returns an
  // error message or "".
  std::string prepare();

  struct Loaded {
    std::optional<KeptUnitState> state;  // none: nothing kept yet
    std::string error;                   // the file is there but unreadable or damaged
  };
  Loaded load(std::string_view key) const;
  // Returns an error message or "".
  std::string save(std::string_view key, const KeptUnitState& state);

  std::filesystem::path fileFor(std::string_view key) const;
  const std::filesystem::path& folder() const { return folder_; }

  // Runs when the new text is complete under its temporary name, before it replaces the file.
  std::function<void()> beforeReplace;

 private:
  std::filesystem::path folder_;
};

// Keys are what file names take safely: letters, digits, '-' and '_', 1 to 64 of them.
bool isStateKey(std::string_view key);

}  // namespace tamrik::sim
