// The run sequence: scan and check the command line, open the property file, copy
// the source to a working copy, open the source read-only and the copy transacted,
// apply every property to the copy, commit it and write the transform, then close
// both databases and delete the copy. Each resource is owned by a scoped object
// (WorkingCopy, ScopedMsiHandle), so the working copy is deleted on every path after
// it was made, and handles are closed in reverse order of opening, before that.
#include "driver/run.h"

#include <new>

#include "driver/tool_options.h"
#include "driver/working_copy.h"
#include "installer/installer_database.h"
#include "platform/console.h"
#include "platform/file_state.h"
#include "platform/signal_cleanup.h"
#include "platform/system_error.h"
#include "platform/temp_files.h"
#include "platform/utf8.h"
#include "platform/wide.h"
#include "properties/property_file.h"
#include "properties/property_update.h"
#include "tool/last_error.h"
#include "tool/scoped_msi_handle.h"
#include "transform/write_transform.h"

namespace mkx::driver {

using installer::MSIHANDLE;
using installer::UINT;

namespace {

/// Reads, echoes and applies every line; `set` receives the value of every property
/// that was set (the last one of a name). Returns false if any property was not set,
/// or the file could not be read to its end.
/// The statements' views are closed before it returns, ahead of the commit.
bool ApplyPropertyFile(platform::TextModeFile& file, installer::InstallerDatabase& msi, MSIHANDLE working,
                       transform::IntendedProperties& set) {
  properties::PropertyWriter writer(msi, working);
  bool all_set = true;
  for (;;) {
    properties::PropertyLine line = properties::ReadPropertyLine(file);
    if (file.failed()) {
      // The line may be cut anywhere, and the rest of the file is unknown: no
      // transform could say what the file says.
      platform::Print(u"Error in reading property text file: %s\n", {file.failure()});
      return false;
    }
    platform::Print(u"%s \n", {line.text});
    if (auto assignment = properties::ParsePropertyLine(std::move(line.text))) {
      if (writer.Apply(*assignment)) {
        set.Set(assignment->Name, assignment->Value);
      } else {
        all_set = false;
      }
    }
    if (line.last) break;
  }
  return all_set;
}

/// Opens a view of the Property table: ERROR_SUCCESS, ERROR_BAD_QUERY_SYNTAX when the
/// database has no such table, or the code of a table that cannot be read.
UINT OpenPropertyTable(installer::InstallerDatabase& msi, MSIHANDLE database) {
  tool::ScopedMsiHandle view(msi, 0);
  return msi.MsiDatabaseOpenViewW(database, u"SELECT Property FROM Property", view.out());
}

}  // namespace

int RunTool(const std::vector<std::u16string>& args, const RunHooks& hooks) {
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
  if (!property_file.ok()) {
    platform::Print(u"Error in opening property text file\n");
    platform::Print(kUsageLine);
    return kExitBadCommandLine;
  }

  // From here on files are made: a termination signal deletes the working copy and a
  // transform not yet complete (see platform/signal_cleanup.h).
  platform::InstallTerminationHandlers();
  // The source's state as the copy is made: the transform is published only if it
  // is still the same at the end (a source rewritten meanwhile would make a transform
  // of neither version).
  const std::string database_path = platform::EncodePath(options.DatabasePath);
  const Result<platform::FileState> source_state = platform::GetFileState(database_path);
  // Destroyed in reverse order: the working handle is closed, then the source handle,
  // then the working copy is deleted, on every return below.
  WorkingCopy working_copy(transform_path);
  const Status copied = working_copy.CopyFrom(options.DatabasePath);

  installer::InstallerDatabase msi;
  tool::ScopedMsiHandle source(msi, 0);
  UINT result = msi.MsiOpenDatabaseW(options.DatabasePath.c_str(), installer::MSIDBOPEN_READONLY, source.out());
  if (result != ERROR_SUCCESS || source.get() == 0) {
    platform::Print(u"Error in opening the MSI %s, Err#%d\n", {options.DatabasePath, tool::Signed(result)});
    tool::ReportLastInstallerError(msi, result);
    return kExitNoTransform;
  }
  if (!copied.ok()) {
    // The source is readable, so the copy failed on the way out (a full disk, a
    // file-size limit): nothing may be made from a partial copy.
    platform::Print(u"Error copying the MSI: %s\n", {platform::SystemReason(copied.error())});
    return kExitNoTransform;
  }

  tool::ScopedMsiHandle working(msi, 0);
  // The copy is private and deleted at the end: its commits need no flush to disk.
  result = msi.OpenScratchDatabase(working_copy.file(), working.out());
  if (result != ERROR_SUCCESS || working.get() == 0) {
    platform::Print(u"Error in opening the working copy %s, Err#%d\n", {working_copy.path(), tool::Signed(result)});
    tool::ReportLastInstallerError(msi, result);
    return kExitNoTransform;
  }
  // Without a readable Property table every line still runs, and fails.
  const UINT property_table = OpenPropertyTable(msi, working.get());
  if (property_table == ERROR_BAD_QUERY_SYNTAX) {
    platform::Print(u"The MSI %s has no Property table: no property can be set\n", {options.DatabasePath});
  } else if (property_table != ERROR_SUCCESS) {
    platform::Print(u"Error in reading the Property table of the MSI %s, Err#%d\n",
                    {options.DatabasePath, tool::Signed(property_table)});
    tool::ReportLastInstallerError(msi, property_table);
  }
  transform::PublishChecks checks;
  // A property that was not set fails the run, and a transform without it is not
  // published: the file at the path stays as it was.
  if (!ApplyPropertyFile(**property_file, msi, working.get(), checks.intended)) return kExitNoTransform;
  properties::PropertyReader source_properties(msi, source.get());
  checks.source_value = [&](const std::u16string& name) { return source_properties.Value(name); };
  checks.source_unchanged = [&]() -> Status {
    auto now = platform::GetFileState(database_path);
    if (source_state.ok() && now.ok() && *now == *source_state) return Ok{};
    return Error(result_code::kInstallTransformFailure, 0,
                 u"The transform was not published: the MSI [2] changed while it was being read.",
                 {options.DatabasePath});
  };
  checks.before_verifying = hooks.before_verifying;
  const bool written = transform::WriteTransform(msi, working.get(), source.get(), options.TransformPath, checks);
  return written ? kExitTransformWritten : kExitNoTransform;
}

namespace {

// Runs the tool. Memory that runs out in the tool's own code (a line too long to
// hold) ends the run as a failure: every file made so far is deleted on the way out,
// as each is owned by a scoped object.
int RunGuarded(const std::vector<std::u16string>& args) {
  int status;
  try {
    status = RunTool(args);
  } catch (const std::bad_alloc&) {
    platform::Print(u"Error: not enough memory for this run, Err#%d\n", {int64_t{result_code::kNotEnoughMemory}});
    status = kExitNoTransform;
  }
  platform::FlushConsole();
  return status;
}

}  // namespace

int MainFromBytes(int argc, char** argv) {
  platform::OpenMissingStandardStreams();  // before any file is opened
  std::vector<std::u16string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(platform::Widen(argv[i]));
  return RunGuarded(args);
}

int MainFromWide(int argc, const char16_t* const* argv) {
  platform::OpenMissingStandardStreams();
  return RunGuarded(std::vector<std::u16string>(argv, argv + argc));
}

}  // namespace mkx::driver
