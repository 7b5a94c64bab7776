// Publishing a file: a private temporary file beside the target, then one rename.
#include "platform/publish_file.h"

#include <cstdio>
#include <memory>
#include <random>

#include "platform/file.h"
#include "platform/signal_cleanup.h"
#include "platform/temp_files.h"

namespace mkx::platform {
namespace {

// "<dir>/.<name>.<random>.tmp", beside the target so that the rename stays within
// one file system.
std::string TempNameFor(const std::string& path) {
  std::random_device random;
  const size_t start = FileNameStart(path);
  const std::string base = path.substr(start);
  char suffix[24];
  const unsigned long long r = (static_cast<unsigned long long>(random()) << 16 ^ random()) & 0xFFFFFFFFFFFFull;
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", r);
  return path.substr(0, start) + "." + base.substr(0, 200) + suffix;
}

}  // namespace

Status PublishFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::string temp;
  std::unique_ptr<RandomAccessFile> file;
  CleanupOnSignal cleanup;  // the temporary file, until renamed or deleted
  for (int attempt = 0;; ++attempt) {
    temp = TempNameFor(path);
    DeferTerminationSignals deferred;  // no signal between creating and arming
    auto opened = OpenFile(temp, FileMode::kCreateNew);
    if (opened.ok()) {
      file = std::move(*opened);
      cleanup.Arm(temp);
      break;
    }
    if (!PathExists(temp) || attempt >= 100) return opened.take_error();
  }
  Status written = file->WriteAt(0, bytes);
  if (written.ok()) written = file->Sync();
  file.reset();
  if (written.ok()) written = RenameOver(temp, path);
  if (!written.ok()) {
    RemoveFile(temp);
    return written;
  }
  cleanup.Disarm();
  SyncParentDirectory(path);
  return Ok{};
}

}  // namespace mkx::platform
