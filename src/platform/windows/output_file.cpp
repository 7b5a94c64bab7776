// Output files on Windows: a temporary file beside the target, flushed, then
// MoveFileExW over it (which refuses a read-only file with access denied). Windows
// paths name no FIFOs or devices a transform could be written through to.
#include "platform/output_file.h"

#include "platform/file.h"
#include "platform/temp_files.h"

namespace mkx::platform {

Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& path) {
  std::unique_ptr<OutputFile> out(new OutputFile());
  out->target_ = path;
  for (int attempt = 0;; ++attempt) {
    const std::string temp = PrivateFileName(path);
    DeferTerminationSignals deferred;  // no signal between creating and arming
    auto opened = OpenFile(temp, FileMode::kCreateNew);
    if (opened.ok()) {
      out->temp_ = temp;
      (void)out->cleanup_.Arm(temp);  // with every slot taken, the file is not covered
      return out;
    }
    if (!PathExists(temp) || attempt >= 100) return opened.take_error();
  }
}

OutputFile::~OutputFile() {
  if (!done_ && !temp_.empty()) (void)RemoveFile(temp_);  // the failure was reported
}

Status OutputFile::Publish() {
  auto file = OpenFile(temp_, FileMode::kReadWrite);
  if (!file.ok()) return file.take_error();
  MKX_TRY((*file)->Sync());
  file->reset();
  {
    DeferTerminationSignals deferred;  // the rename and the end of interruption are one step
    MKX_TRY(RenameOver(temp_, target_));
    IgnoreTerminationSignals();
  }
  done_ = true;
  cleanup_.Disarm();
  (void)SyncParentDirectory(target_);  // the transform is in place either way
  return Ok{};
}

}  // namespace mkx::platform
