#include "platform/console.h"

#include <cstdio>

#include "platform/wide.h"

namespace mkx::platform {

std::u16string FormatMessage(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char16_t c = format[i];
    if (c != u'%' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    char16_t conversion = format[++i];
    if (conversion == u'%') {
      out.push_back(u'%');
      continue;
    }
    if (next == args.end()) continue;  // a missing argument prints nothing
    const FormatArg& arg = *next++;
    if (conversion == u's') {
      if (auto* s = std::get_if<std::u16string_view>(&arg)) out.append(*s);
    } else if (conversion == u'd') {
      if (auto* n = std::get_if<int64_t>(&arg)) out.append(Widen(std::to_string(*n)));
    }
  }
  return out;
}

std::string ToConsoleBytes(std::u16string_view text) { return Narrow(text); }

void Print(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::string bytes = ToConsoleBytes(FormatMessage(format, args));
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void FlushConsole() { std::fflush(stdout); }

}  // namespace mkx::platform
