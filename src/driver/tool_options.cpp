#include "driver/tool_options.h"

namespace mkx::driver {

ToolOptions ScanArguments(const std::vector<std::u16string>& args) {
  ToolOptions options;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    if (arg == u"-t") {
      if (i + 1 < args.size()) options.TransformPath = args[++i];
    } else if (arg == u"-p") {
      if (i + 1 < args.size()) options.PropertyFilePath = args[++i];
    } else {
      options.DatabasePath = arg;
    }
  }
  return options;
}

bool ValidateOptions(const ToolOptions& options) {
  return !options.PropertyFilePath.empty() && !options.DatabasePath.empty();
}

}  // namespace mkx::driver
