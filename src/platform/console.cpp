#include "platform/console.h"

#include <cstdio>

#include "platform/wide.h"

namespace mkx::platform {
namespace {

/// Expands the format into `emit`, which takes each piece of text in order. The
/// arguments are passed on as they are, so printing a long value copies nothing.
template <typename Emit>
void Expand(std::u16string_view format, std::initializer_list<FormatArg> args, Emit emit) {
  auto next = args.begin();
  size_t literal = 0;  // start of the text not yet emitted
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%' || i + 1 == format.size()) continue;
    emit(format.substr(literal, i - literal));
    const char16_t conversion = format[++i];
    literal = i + 1;
    if (conversion == u'%') {
      emit(u"%");
      continue;
    }
    if (next == args.end()) continue;  // a missing argument prints nothing
    const FormatArg& arg = *next++;
    if (conversion == u's') {
      if (auto* s = std::get_if<std::u16string_view>(&arg)) emit(*s);
    } else if (conversion == u'd') {
      if (auto* n = std::get_if<int64_t>(&arg)) emit(Widen(std::to_string(*n)));
    }
  }
  emit(format.substr(literal));
}

void PrintTo(std::FILE* stream, std::u16string_view format, std::initializer_list<FormatArg> args) {
  // Converted a slice at a time into one buffer: a message as long as the property
  // file's longest line needs no copy of it, and a short one no allocation.
  constexpr size_t kSlice = 4096;
  char bytes[kSlice];
  Expand(format, args, [&bytes, stream](std::u16string_view piece) {
    for (size_t at = 0; at < piece.size();) {
      size_t length = piece.size() - at < kSlice ? piece.size() - at : kSlice;
      // A surrogate pair is one character, printed as one '?': never cut in two.
      if (at + length < piece.size() && IsHighSurrogate(piece[at + length - 1])) --length;
      std::fwrite(bytes, 1, NarrowInto(piece.substr(at, length), bytes), stream);
      at += length;
    }
  });
}

}  // namespace

std::u16string FormatMessage(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  Expand(format, args, [&](std::u16string_view piece) { out.append(piece); });
  return out;
}

void Print(std::u16string_view format, std::initializer_list<FormatArg> args) { PrintTo(stdout, format, args); }

void PrintError(std::u16string_view format, std::initializer_list<FormatArg> args) {
  PrintTo(stderr, format, args);
}

// The error indicator stays set from a failed write mid-run to the end.
bool FlushConsole() { return (std::fflush(stdout) == 0 && !std::ferror(stdout)) || !HasStandardOutput(); }

}  // namespace mkx::platform
