// Stream names of installer databases.
//
// Table streams and stream-column data streams are stored under encoded names: pairs
// of characters of the 64-symbol alphabet [0-9A-Za-z._] pack into one unit
// 0x3800 + a + (b << 6), a lone one into 0x4800 + a, other characters are copied, and
// a table stream starts with the marker 0x4840.
#pragma once

#include <string>
#include <string_view>

namespace mkx::engine {

/// Encodes a logical name; `table` adds the table-stream marker.
std::u16string EncodeStreamName(std::u16string_view name, bool table);

/// Decodes a stored name. Sets *is_table when the marker was present.
std::u16string DecodeStreamName(std::u16string_view stored, bool* is_table = nullptr);

}  // namespace mkx::engine
