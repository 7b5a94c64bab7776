// The command line: three paths, their defaults, and the checks made before a run.
#pragma once

#include <string>
#include <vector>

namespace mkx::driver {

struct ToolOptions {
  std::u16string DatabasePath = u"i:\\wix\\xxx.msi";
  std::u16string TransformPath = u"output.mst";
  std::u16string PropertyFilePath;
};

/// Scans the arguments (args[0], the program name, is skipped): "-t" and "-p" take
/// the next argument verbatim when there is one (a trailing one is ignored); any
/// other argument is the database path. Later occurrences replace earlier ones.
ToolOptions ScanArguments(const std::vector<std::u16string>& args);

/// Both the property file path and the database path must be non-empty.
bool ValidateOptions(const ToolOptions& options);

/// The usage line, printed when the command line cannot be used.
inline constexpr std::u16string_view kUsageLine =
    u"mkxform -t \"c:\\output.mst\" -p \"c:\\property.txt\" setup.msi\n";

}  // namespace mkx::driver
