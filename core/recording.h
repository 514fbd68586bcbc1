#pragma once
// A recording of the receiver's raw stream: the bytes as the unit delivers them, in a file that
// --replay, gpsd and other UBX tools read. Written through at every write, so that what was
// received is in the file within the read that brought it; a file that exists is kept unless the
// caller allows replacing it. Once a write fails the recording stops and keeps its reason.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"

namespace tamrik::core {

class Recording {
 public:
  // Opens path (UTF-8) for a new recording. A BadArgument when there is no path, it names a
  // folder or a pipe, or the file exists and overwrite is false; a System failure when it cannot
  // be created.
  static base::Result<std::unique_ptr<Recording>> open(const std::string& path, bool overwrite);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Appends the bytes and hands them to the system. False when this or an earlier write failed.
  bool write(std::span<const std::uint8_t> bytes);
  // Closes the file whole. False when a write or the closing failed; error() tells why.
  bool close();
  // A start that did not come about: closes the file and takes it away again.
  void discard();

  bool failed() const { return !error_.empty(); }
  // "cannot write FILE: No space left on device", or "" while all went well.
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  Recording(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {}
  void fail(int errorNumber);

  std::FILE* file_;
  std::string path_;
  std::string error_;
  std::uint64_t bytes_ = 0;
};

}  // namespace tamrik::core
