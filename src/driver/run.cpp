// The run sequence: scan and check the command line, open the property file, copy
// the source to a working copy, open the source read-only and the copy transacted,
// apply every property to the copy, commit it and write the transform, then close
// both databases and delete the copy. The working copy is deleted on every path
// after it was made; handles are closed in reverse order of opening.
#include "driver/run.h"

#include <cerrno>
#include <cstring>

#include "driver/tool_options.h"
#include "driver/working_copy.h"
#include "installer/installer_database.h"
#include "platform/console.h"
#include "platform/signal_cleanup.h"
#include "platform/temp_files.h"
#include "platform/wide.h"
#include "properties/property_file.h"
#include "properties/property_update.h"
#include "transform/write_transform.h"

namespace mkx::driver {

using installer::MSIHANDLE;
using installer::UINT;

namespace {

int64_t Signed(UINT code) { return static_cast<int32_t>(code); }

/// Reads, echoes and applies every line. Returns false if any property was not set.
bool ApplyPropertyFile(platform::TextModeFile& file, installer::InstallerDatabase& msi, MSIHANDLE working) {
  bool all_set = true;
  for (;;) {
    properties::PropertyLine line = properties::ReadPropertyLine(file);
    platform::Print(u"%s \n", {line.text});
    if (auto assignment = properties::ParsePropertyLine(line.text)) {
      if (!properties::ApplyProperty(msi, working, *assignment)) all_set = false;
    }
    if (line.last) break;
  }
  return all_set;
}

}  // namespace

int RunTool(const std::vector<std::u16string>& args) {
  const ToolOptions options = ScanArguments(args);
  if (!ValidateOptions(options)) {
    platform::Print(kUsageLine);
    return kExitBadCommandLine;
  }

  // Writing the transform over the database or the property file would destroy the
  // user's input: refuse before anything is opened.
  const std::string transform_path = platform::EncodePath(options.TransformPath);
  if (platform::SameExistingFile(transform_path, platform::EncodePath(options.DatabasePath)) ||
      platform::SameExistingFile(transform_path, platform::EncodePath(options.PropertyFilePath))) {
    platform::Print(u"Error: the transform path names an input file %s\n", {options.TransformPath});
    platform::Print(kUsageLine);
    return kExitBadCommandLine;
  }

  auto property_file = properties::OpenPropertyFile(options.PropertyFilePath);
  if (!property_file) {
    platform::Print(u"Error in opening property text file\n");
    platform::Print(kUsageLine);
    return kExitBadCommandLine;
  }

  // From here on files are made: a termination signal deletes the working copy and a
  // transform not yet complete (see platform/signal_cleanup.h).
  platform::InstallTerminationHandlers();
  std::u16string working_copy_path;
  platform::CleanupOnSignal working_copy_cleanup;
  {
    platform::DeferTerminationSignals deferred;  // no signal between creating and arming
    working_copy_path = MakeWorkingCopyName();
    if (!working_copy_path.empty()) working_copy_cleanup.Arm(platform::EncodePath(working_copy_path));
  }
  const bool copied = CopyToWorkingCopy(options.DatabasePath, working_copy_path);
  const std::u16string copy_failure = copied ? u"" : platform::SystemErrorText(errno);

  installer::InstallerDatabase msi;
  int status = kExitNoTransform;
  MSIHANDLE source = 0;
  UINT result = msi.MsiOpenDatabaseW(options.DatabasePath.c_str(), installer::MSIDBOPEN_READONLY, &source);
  if (result != ERROR_SUCCESS || source == 0) {
    platform::Print(u"Error in opening the MSI %s, Err#%d\n", {options.DatabasePath, Signed(result)});
    transform::ReportLastInstallerError(msi, result);
    if (source != 0) msi.MsiCloseHandle(source);
    RemoveWorkingCopy(working_copy_path);
    return kExitNoTransform;
  }
  if (!copied) {
    // The source is readable, so the copy failed on the way out (a full disk, a
    // file-size limit): nothing may be made from a partial copy.
    platform::Print(u"Error copying the MSI: %s\n", {copy_failure});
    msi.MsiCloseHandle(source);
    RemoveWorkingCopy(working_copy_path);
    return kExitNoTransform;
  }

  MSIHANDLE working = 0;
  // The copy is private and deleted at the end: its commits need no flush to disk.
  result = msi.OpenScratchDatabase(working_copy_path.c_str(), &working);
  if (result != ERROR_SUCCESS || working == 0) {
    platform::Print(u"Error in opening the working copy %s, Err#%d\n", {working_copy_path, Signed(result)});
    transform::ReportLastInstallerError(msi, result);
  } else {
    const bool all_set = ApplyPropertyFile(*property_file, msi, working);
    // A transform this run puts at the path is deleted on a signal until complete;
    // a file that was there before is left alone.
    platform::CleanupOnSignal transform_cleanup;
    transform_cleanup.ArmReplacement(transform_path);
    const bool written = transform::WriteTransform(msi, working, source, options.TransformPath);
    status = written && all_set ? kExitTransformWritten : kExitNoTransform;
  }
  if (working != 0) msi.MsiCloseHandle(working);
  msi.MsiCloseHandle(source);
  RemoveWorkingCopy(working_copy_path);
  return status;
}

int MainFromBytes(int argc, char** argv) {
  std::vector<std::u16string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(platform::Widen(argv[i]));
  const int status = RunTool(args);
  platform::FlushConsole();
  return status;
}

int MainFromWide(int argc, const char16_t* const* argv) {
  std::vector<std::u16string> args(argv, argv + argc);
  const int status = RunTool(args);
  platform::FlushConsole();
  return status;
}

}  // namespace mkx::driver
