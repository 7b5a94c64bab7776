#include "properties/property_file.h"

#include "platform/wide.h"

namespace mkx::properties {

Result<std::unique_ptr<platform::TextModeFile>> OpenPropertyFile(const std::u16string& path) {
  return platform::TextModeFile::Open(platform::EncodePath(path));
}

PropertyLine ReadPropertyLine(platform::TextModeFile& file) {
  PropertyLine line;
  bool at_nul = false;
  for (;;) {
    int c = file.Get();
    if (c < 0) {
      line.last = true;
      break;
    }
    if (c == '\n') break;
    if (c == 0) at_nul = true;
    if (!at_nul) line.text.push_back(static_cast<char16_t>(c));
  }
  return line;
}

std::optional<PropertyAssignment> ParsePropertyLine(std::u16string_view line) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) return std::nullopt;
  PropertyAssignment assignment;
  assignment.Name.assign(line.substr(0, equals));
  assignment.Value.assign(line.substr(equals + 1));
  for (char16_t& c : assignment.Name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  if (assignment.Name.empty() || assignment.Value.empty()) return std::nullopt;
  return assignment;
}

}  // namespace mkx::properties
