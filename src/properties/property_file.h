// The property file: NAME=value lines, read in text mode (platform/text_file.h):
// UTF-8 or UTF-16 after a byte-order mark, otherwise bytes widened one to one.
//
// Each line is echoed as read, then split at its first '='; the name is upper-cased
// (ASCII letters only), the value kept as written; nothing is trimmed. Lines of any
// length are read whole. A NUL ends a line's text (the rest of that line is skipped).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"
#include "platform/text_file.h"

namespace mkx::properties {

struct PropertyAssignment {
  std::u16string Name;   // upper-cased
  std::u16string Value;  // as written
};

/// Opens the property file for reading (others may still read and write it).
Result<std::unique_ptr<platform::TextModeFile>> OpenPropertyFile(const std::u16string& path);

/// One line read from the file.
struct PropertyLine {
  std::u16string text;    // up to the first NUL, without the line feed
  bool last = false;      // the end of the file (or a read error) was met
};

/// Reads the next line: characters up to a line feed (consumed, not stored) or the
/// end of the file.
PropertyLine ReadPropertyLine(platform::TextModeFile& file);

/// Splits "NAME=value" at the first '='; nothing when there is no '=', or the name or
/// the value is empty. The second form takes the line's storage for the value.
std::optional<PropertyAssignment> ParsePropertyLine(std::u16string_view line);
std::optional<PropertyAssignment> ParsePropertyLine(std::u16string&& line);

}  // namespace mkx::properties
