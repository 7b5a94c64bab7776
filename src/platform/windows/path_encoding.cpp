// Windows paths are UTF-16. The engine carries paths as std::string, so they travel
// there as UTF-8; an unpaired surrogate (which Windows file names may hold) is kept
// as its own three-byte sequence, so every path converts back exactly.
#include "platform/utf8.h"
#include "platform/wide.h"

namespace mkx::platform {

std::string EncodePath(std::u16string_view path) { return ExactUtf8(path); }

std::u16string DecodePath(std::string_view path) { return FromExactUtf8(path); }

}  // namespace mkx::platform
