// The platform-independent half of TextModeFile (text_file.h): the byte-order mark,
// the decoding of each encoding into 16-bit characters, the end at 0x1A and the
// CR LF rule. Each platform's text_file.cpp opens the file and implements Fill().
#include <cstdint>

#include "platform/text_file.h"
#include "platform/wide.h"

namespace mkx::platform {
namespace {

constexpr int kControlZ = 0x1A;

bool IsContinuation(int b) { return b >= 0x80 && b <= 0xBF; }

}  // namespace

size_t TextModeFile::MostCharactersLeft() const {
  if (size_ == UINT64_MAX) return SIZE_MAX;
  const uint64_t in_file = size_ > consumed_ ? size_ - consumed_ : 0;
  const uint64_t bytes = in_file + (len_ - pos_) + 2;  // and what may be read ahead
  return bytes < SIZE_MAX ? static_cast<size_t>(bytes) : SIZE_MAX;
}

int TextModeFile::NextByte() {
  if (pos_ == len_) {
    if (ended_ || !Fill()) {
      ended_ = true;
      return -1;
    }
    consumed_ += len_;
  }
  return buffer_[pos_++];
}

// A mark is at most three bytes, all still in the first buffer unless the file
// arrives a byte at a time (a pipe); the bytes read to look for it that are not a
// mark are given back by rewinding pos_, or kept in the buffer's first bytes.
void TextModeFile::DetectEncoding() {
  started_ = true;
  unsigned char head[3];
  size_t n = 0;
  while (n < 3) {
    const int b = NextByte();
    if (b < 0) break;
    head[n++] = static_cast<unsigned char>(b);
    if (n == 2 && head[0] == 0xFF && head[1] == 0xFE) {
      encoding_ = TextEncoding::kUtf16Le;
      return;
    }
    if (n == 2 && head[0] == 0xFE && head[1] == 0xFF) {
      encoding_ = TextEncoding::kUtf16Be;
      return;
    }
    const bool may_be_mark = n == 1 ? head[0] == 0xEF || head[0] == 0xFF || head[0] == 0xFE
                                    : head[0] == 0xEF && head[1] == 0xBB;
    if (!may_be_mark) break;
  }
  if (n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    encoding_ = TextEncoding::kUtf8;
    return;
  }
  // No mark: the bytes read are the first characters of the text.
  if (pos_ >= n) {
    pos_ -= n;
  } else {
    // They came in more than one read: put them all back at the buffer's start.
    const size_t rest = len_ - pos_;
    for (size_t i = rest; i-- > 0;) buffer_[n + i] = buffer_[pos_ + i];
    for (size_t i = 0; i < n; ++i) buffer_[i] = head[i];
    pos_ = 0;
    len_ = n + rest;  // the buffer keeps room for this beyond one read
  }
}

// Text that is not in the file's encoding: no character could stand for what the
// file means, so the input ends as after a read error.
int TextModeFile::Malformed(std::u16string_view reason) {
  const uint64_t read = consumed_ - len_ + pos_;  // up to the offending byte, counted from 1
  failure_ = std::u16string(reason) + u" at byte " + FromAscii(std::to_string(read)) + u" of the file";
  pending_ = -1;
  return -1;
}

int TextModeFile::DecodeUnit() {
  if (low_surrogate_ >= 0) {
    const int low = low_surrogate_;
    low_surrogate_ = -1;
    return low;
  }
  const int b0 = NextByte();
  if (b0 < 0) return -1;
  switch (encoding_) {
    case TextEncoding::kBytes: return b0;
    case TextEncoding::kUtf16Le:
    case TextEncoding::kUtf16Be: {
      const int b1 = NextByte();
      if (b1 < 0) return Malformed(u"the UTF-16 text ends with half a character");
      return encoding_ == TextEncoding::kUtf16Le ? b0 | b1 << 8 : b0 << 8 | b1;
    }
    case TextEncoding::kUtf8: break;
  }
  if (b0 < 0x80) return b0;
  int count;
  uint32_t code;
  int low = 0x80, high = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    count = 1, code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    count = 2, code = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;   // overlong
    if (b0 == 0xED) high = 0x9F;  // a surrogate
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    count = 3, code = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;   // overlong
    if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return Malformed(u"the UTF-8 text is malformed");
  }
  for (int i = 0; i < count; ++i) {
    const int b = NextByte();
    const bool fits = i == 0 ? b >= low && b <= high : IsContinuation(b);
    if (!fits) return Malformed(u"the UTF-8 text is malformed");
    code = code << 6 | static_cast<uint32_t>(b & 0x3F);
  }
  if (code < 0x10000) return static_cast<int>(code);
  code -= 0x10000;
  low_surrogate_ = static_cast<int>(0xDC00 | (code & 0x3FF));
  return static_cast<int>(0xD800 | code >> 10);
}

int TextModeFile::NextUnit() {
  if (!started_) DetectEncoding();
  if (pending_ == -1) return -1;  // the input has ended
  const int c = DecodeUnit();
  if (c == kControlZ && stops_at_ctrl_z_) {
    pending_ = -1;
    return -1;
  }
  return c;
}

int TextModeFile::Get() {
  int c;
  if (pending_ >= 0) {
    c = pending_;
    pending_ = -2;
  } else {
    c = NextUnit();
  }
  if (c == '\r') {
    const int next = NextUnit();
    if (next == '\n') return '\n';
    pending_ = next;
  }
  return c;
}

}  // namespace mkx::platform
