#include "platform/scratch_file.h"

namespace mkx::platform {
namespace {

class ScratchFile final : public RandomAccessFile {
 public:
  explicit ScratchFile(std::unique_ptr<RandomAccessFile> file) : file_(std::move(file)) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override { return file_->ReadAt(offset, out); }
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override { return file_->WriteAt(offset, data); }
  uint64_t Size() const override { return file_->Size(); }
  Status Sync() override { return Ok{}; }
  Status Truncate(uint64_t size) override { return file_->Truncate(size); }
  bool writable() const override { return file_->writable(); }

 private:
  std::unique_ptr<RandomAccessFile> file_;
};

}  // namespace

std::unique_ptr<RandomAccessFile> AsScratchFile(std::unique_ptr<RandomAccessFile> file) {
  if (!file) return nullptr;
  return std::make_unique<ScratchFile>(std::move(file));
}

}  // namespace mkx::platform
