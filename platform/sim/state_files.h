#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// The few file-system steps of the unit state store, one implementation for POSIX systems
// (state_files_posix.cpp) and one for Windows (state_files_windows.cpp). A reason is the system's
// own words for a failure.
namespace tamrik::sim::state_files {

// Creates a file in folder and removes it again: "" when that worked, otherwise why not.
std::string probeWritable(const std::filesystem::path& folder);

struct ReadOutcome {
  bool missing = false;   // there is no such file
  bool tooLarge = false;  // the file is longer than the limit; text holds its start
  std::string text;
  std::string error;  // why it could not be read
};
ReadOutcome readSmallFile(const std::filesystem::path& file, std::size_t limit);

struct TemporaryOutcome {
  std::filesystem::path path;  // empty when no file could be created
  std::string error;           // why it could not be created or written; a written file is left
};
// Writes text into a new file beside target, named after it plus ".tmp." and a unique suffix,
// readable by everyone, and flushes it to the disk.
TemporaryOutcome writeTemporary(const std::filesystem::path& target, std::string_view text);

// Puts from in the place of to in one step, so that to holds the old or the new file at any time;
// "" or why not.
std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes the entries of folder durable after a replace: "" or why not.
std::string syncFolder(const std::filesystem::path& folder);

// Removes a file and ignores whether that worked.
void removeQuietly(const std::filesystem::path& file);

}  // namespace tamrik::sim::state_files
