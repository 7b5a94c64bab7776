// Paths on POSIX are byte strings: the 16-bit form holds one character per byte.
#include "platform/wide.h"

namespace mkx::platform {

std::string EncodePath(std::u16string_view path) { return Narrow(path); }

std::u16string DecodePath(std::string_view path) { return Widen(path); }

}  // namespace mkx::platform
