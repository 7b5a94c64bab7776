// Reading a file in Windows text mode.
//
// A carriage return directly followed by a line feed reads as the line feed alone; a
// lone carriage return stays. Byte 0x1A ends a regular file (a character device or a
// pipe passes it through). Every byte widens to the 16-bit character of its value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace mkx::platform {

class TextModeFile {
 public:
  /// Opens for reading without locking out other readers or writers. A directory
  /// does not open.
  static Result<std::unique_ptr<TextModeFile>> Open(const std::string& path);
  ~TextModeFile();
  TextModeFile(const TextModeFile&) = delete;
  TextModeFile& operator=(const TextModeFile&) = delete;

  /// The next character, or -1 at the end of the file (or after a read error; then
  /// failed() is true).
  int Get();
  bool failed() const { return failed_; }

 private:
  TextModeFile(int fd, bool stops_at_ctrl_z) : fd_(fd), stops_at_ctrl_z_(stops_at_ctrl_z) {}
  int RawGet();  // next byte after nothing but buffering, -1 at end
  bool Fill();

  int fd_;
  bool stops_at_ctrl_z_;
  bool ended_ = false;
  bool failed_ = false;
  int pending_ = -2;  // a character read ahead, -2 when none
  unsigned char buffer_[65536];
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace mkx::platform
