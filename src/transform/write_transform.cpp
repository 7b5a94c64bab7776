#include "transform/write_transform.h"

#include "platform/console.h"
#include "platform/output_file.h"
#include "platform/system_error.h"
#include "platform/wide.h"
#include "tool/last_error.h"

namespace mkx::transform {

using installer::MSIHANDLE;
using installer::UINT;

namespace {

// The extended text of a failure found outside the installer: its template with
// "[2]", "[3]", ... replaced by its fields (field text is not looked into again).
std::u16string ErrorText(const Error& error) {
  const std::u16string& tmpl = error.message_template;
  std::u16string text;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    const size_t close = tmpl[i] == u'[' ? tmpl.find(u']', i) : std::u16string::npos;
    if (close == i + 2 && tmpl[i + 1] >= u'2' && tmpl[i + 1] <= u'9' &&
        static_cast<size_t>(tmpl[i + 1] - u'2') < error.fields.size()) {
      text += error.fields[tmpl[i + 1] - u'2'];
      i = close;
      continue;
    }
    text.push_back(tmpl[i]);
  }
  return text;
}

// The generation error line and the extended text of a failure found by the tool.
void PrintGenerationError(const Error& error) {
  platform::Print(u"Error in generate MST for the property set, Err#%d\n", {tool::Signed(error.code)});
  platform::Print(u"Err#%d %s\n", {tool::Signed(error.code), ErrorText(error)});
}

// A failure of the transform file itself, told as the installer tells a file it
// cannot create: the path (the transform's, for its private file) and the system's reason.
void ReportGenerationFailure(const Error& failure, const std::u16string& temp_path,
                             const std::u16string& transform_path) {
  std::u16string path = failure.fields.empty() ? u"" : failure.fields.front();
  if (path == temp_path) path = transform_path;
  PrintGenerationError(Error(failure.code, 2203, u"Database: [2]. Cannot open database file. System error [3].",
                             {path, platform::SystemReason(failure)}));
}

}  // namespace

bool WriteTransform(installer::InstallerDatabase& msi, MSIHANDLE working, MSIHANDLE source,
                    const std::u16string& transform_path, const PublishChecks& checks) {
  const UINT committed = msi.MsiDatabaseCommit(working);
  if (committed != ERROR_SUCCESS) {
    // A copy that could not be saved (a full disk, a write error) makes no transform.
    platform::Print(u"Error in MsiDatabaseCommit, Err#%d\n", {tool::Signed(committed)});
    tool::ReportLastInstallerError(msi, committed);
    return false;
  }
  // The transform and its summary information are written to a private file, which
  // appears at the path only once complete; until then the path is untouched, and the
  // private file is deleted on every way out (a signal included).
  auto output = platform::OutputFile::Create(platform::EncodePath(transform_path));
  if (!output.ok()) {
    ReportGenerationFailure(output.error(), u"", transform_path);
    return false;
  }
  // Messages name the transform as given, never its private file.
  const std::u16string temp_path = platform::DecodePath((*output)->temp_path());
  const UINT generated = msi.MsiDatabaseGenerateTransformW(working, source, temp_path.c_str(), 0, 0);
  if (generated != ERROR_SUCCESS) {
    platform::Print(u"Error in generate MST for the property set, Err#%d\n", {tool::Signed(generated)});
    tool::ReportLastInstallerError(msi, generated, temp_path, transform_path);
    return false;
  }
  const UINT summary = msi.MsiCreateTransformSummaryInfoW(working, source, temp_path.c_str(), 0, 0);
  // A database without ProductCode or ProductVersion gives a transform without
  // summary information, as before.
  if (summary != ERROR_SUCCESS && summary != ERROR_INSTALL_PACKAGE_INVALID) {
    platform::Print(u"Error in writing the summary information of the MST, Err#%d\n", {tool::Signed(summary)});
    tool::ReportLastInstallerError(msi, summary, temp_path, transform_path);
    return false;
  }
  // Nothing is published that does not change exactly what the run set, or that was
  // made from a source which changed meanwhile.
  if (checks.before_verifying) checks.before_verifying((*output)->temp_path());
  // A changed source is told first: it, not the transform, is then what is wrong.
  Status check = checks.source_unchanged ? checks.source_unchanged() : Status(Ok{});
  if (check.ok()) check = VerifyTransform((*output)->temp_path(), checks.intended, checks.source_value);
  if (!check.ok()) {
    PrintGenerationError(check.error());
    return false;
  }
  // Every message is out before the transform is: a closed output (`| head`) ends the
  // run here, with the previous file still in place, and not once it is replaced. An
  // output that could not be written (a full disk) fails the run: a transform without
  // the account of what it sets is not published.
  if (!platform::FlushConsole()) {
    platform::PrintError(u"Error: standard output could not be written, so the transform was not published, Err#%d\n",
                         {int64_t{result_code::kWriteFault}});
    return false;
  }
  Status published = (*output)->Publish();
  if (!published.ok()) {
    ReportGenerationFailure(published.error(), temp_path, transform_path);
    return false;
  }
  return true;
}

}  // namespace mkx::transform
