#include "properties/property_file.h"

#include "platform/wide.h"

namespace mkx::properties {

Result<std::unique_ptr<platform::TextModeFile>> OpenPropertyFile(const std::u16string& path) {
  return platform::TextModeFile::Open(platform::EncodePath(path));
}

namespace {

// Past this length a line is sized once for the rest of the file, so that a long
// line costs its own size and not the doubling of a growing string.
constexpr size_t kLongLine = 65536;

}  // namespace

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
    if (at_nul) continue;
    std::u16string& text = line.text;
    if (text.size() == text.capacity() && text.size() >= kLongLine) {
      const size_t left = file.MostCharactersLeft();
      if (left < text.max_size() - text.size()) text.reserve(text.size() + left);
    }
    text.push_back(static_cast<char16_t>(c));
  }
  return line;
}

std::optional<PropertyAssignment> ParsePropertyLine(std::u16string_view line) {
  return ParsePropertyLine(std::u16string(line));
}

std::optional<PropertyAssignment> ParsePropertyLine(std::u16string&& line) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string::npos) return std::nullopt;
  PropertyAssignment assignment;
  assignment.Name.assign(line, 0, equals);
  line.erase(0, equals + 1);  // in place: the value keeps the line's storage
  // A short line's storage grew by doubling, and would be held that way, up to
  // twice its size, for every property of the file until the run ends.
  if (line.capacity() > line.size() + line.size() / 4 + 16) line.shrink_to_fit();
  assignment.Value = std::move(line);
  for (char16_t& c : assignment.Name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  if (assignment.Name.empty() || assignment.Value.empty()) return std::nullopt;
  return assignment;
}

}  // namespace mkx::properties
