// The tool's entry and its one fixed run sequence.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mkx::driver {

/// Exit statuses.
inline constexpr int kExitTransformWritten = 0;
inline constexpr int kExitNoTransform = 1;       // ran, but no usable transform
inline constexpr int kExitBadCommandLine = -1;  // command line or property file

/// Points where a test may look at or damage what the run made.
struct RunHooks {
  /// Called with the path of the complete, unpublished transform before it is
  /// verified (to prove that a damaged transform is never published).
  std::function<void(const std::string& path)> before_verifying;
};

/// Runs the tool on 16-bit arguments (args[0] is the program name).
int RunTool(const std::vector<std::u16string>& args, const RunHooks& hooks = {});

/// Widens each byte of each argument to a 16-bit character and runs the tool.
int MainFromBytes(int argc, char** argv);

/// Runs the tool on the 16-bit arguments of a wide entry point (Windows wmain).
int MainFromWide(int argc, const char16_t* const* argv);

}  // namespace mkx::driver
