// Reading a file in Windows text mode, with the encoding its first bytes declare.
//
// A file that begins with a UTF-8 byte-order mark is UTF-8; one that begins with a
// UTF-16 LE or BE mark is UTF-16 of that byte order; the mark itself is not read.
// Without a mark every byte widens to the 16-bit character of its value. On the
// 16-bit characters so decoded: a carriage return directly followed by a line feed
// reads as the line feed alone; a lone carriage return stays; the character 0x1A
// ends the input unless the file is a character device (a console passes it
// through). Malformed UTF-8, and an odd last byte of a UTF-16 file, end the input
// as a read error does: failed() tells, failure() says what was found and where.
//
// The decoding is shared by every platform (text_decoding.cpp); the per-platform
// file opens the file and fills the byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace mkx::platform {

enum class TextEncoding : uint8_t { kBytes, kUtf8, kUtf16Le, kUtf16Be };

class TextModeFile {
 public:
  /// Opens for reading without locking out other readers or writers. A directory
  /// does not open.
  static Result<std::unique_ptr<TextModeFile>> Open(const std::string& path);
  ~TextModeFile();
  TextModeFile(const TextModeFile&) = delete;
  TextModeFile& operator=(const TextModeFile&) = delete;

  /// The next 16-bit character, or -1 at the end of the input (or after a read
  /// error or malformed text; then failed() is true and failure() gives the reason).
  int Get();
  bool failed() const { return !failure_.empty(); }
  const std::u16string& failure() const { return failure_; }
  /// At most how many characters are left to read, when the file's size is known
  /// (a regular file); otherwise SIZE_MAX. Lets a reader size a line once.
  size_t MostCharactersLeft() const;

 private:
  TextModeFile(int fd, bool stops_at_ctrl_z, uint64_t size)
      : fd_(fd), stops_at_ctrl_z_(stops_at_ctrl_z), size_(size) {}
  bool Fill();        // per platform: the next bytes into buffer_; false at the end or on error
  int NextByte();     // -1 at the end
  int DecodeUnit();   // the next character in the file's encoding, -1 at the end
  int NextUnit();     // DecodeUnit, ended by 0x1A where the platform ends text there
  void DetectEncoding();
  int Malformed(std::u16string_view reason);  // records the failure, ends the input

  int fd_;
  bool stops_at_ctrl_z_;
  uint64_t size_;            // bytes in the file, UINT64_MAX when not a regular file
  uint64_t consumed_ = 0;    // bytes taken from the file so far
  bool started_ = false;
  bool ended_ = false;
  std::u16string failure_;  // a read error's reason; empty while none
  TextEncoding encoding_ = TextEncoding::kBytes;
  int pending_ = -2;         // a character read ahead, -2 when none
  int low_surrogate_ = -1;   // second half of a UTF-8 sequence above U+FFFF
  static constexpr size_t kReadSize = 65536;  // bytes asked for by one Fill()
  unsigned char buffer_[kReadSize + 3];      // and room to give back a mark's bytes
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace mkx::platform
