#include "engine/compound/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/test_support.h"

namespace mkx::compound::test {

Status MemoryFile::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  if (offset > bytes_->size() || out.size() > bytes_->size() - offset) return Error(result_code::kReadFault);
  std::copy_n(bytes_->begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
  return Ok{};
}

Status MemoryFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  if (!writable_) return Error(result_code::kWriteFault);
  if (offset + data.size() > bytes_->size()) bytes_->resize(offset + data.size());
  std::copy(data.begin(), data.end(), bytes_->begin() + static_cast<ptrdiff_t>(offset));
  return Ok{};
}

Status MemoryFile::Truncate(uint64_t size) {
  if (!writable_) return Error(result_code::kWriteFault);
  bytes_->resize(size);
  return Ok{};
}

Status FaultyFile::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  log_->bytes_read += out.size();
  return inner_->ReadAt(offset, out);
}

Status FaultyFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  if (Crashed()) return Error(result_code::kWriteFault);
  if (writes_left_ > 0) --writes_left_;
  log_->writes.push_back({offset, data.size()});
  log_->bytes_written += data.size();
  return inner_->WriteAt(offset, data);
}

Status FaultyFile::Sync() {
  if (Crashed()) return Error(result_code::kWriteFault);
  ++log_->syncs;
  return inner_->Sync();
}

Status FaultyFile::Truncate(uint64_t size) {
  if (Crashed()) return Error(result_code::kWriteFault);
  return inner_->Truncate(size);
}

namespace {

// Prints "<utf-16le name hex> <size> <dump file>" per root stream and writes each
// stream's bytes to the dump directory.
constexpr const char* kListScript = R"PY(
import olefile, sys, os
ole = olefile.OleFileIO(sys.argv[1])
out = sys.argv[2]
for i, kid in enumerate(ole.root.kids):
    if kid.entry_type != olefile.STGTY_STREAM:
        continue
    data = ole.openstream([kid.name]).read()
    path = os.path.join(out, str(i))
    with open(path, 'wb') as f:
        f.write(data)
    print(kid.name.encode('utf-16-le').hex(), kid.size, path)
)PY";

constexpr const char* kLayoutScript = R"PY(
import olefile, sys
ole = olefile.OleFileIO(sys.argv[1])
print('fat', ' '.join(str(x) for x in ole.fat))
for kid in ole.root.kids:
    if kid.entry_type == olefile.STGTY_STREAM and kid.size >= ole.minisectorcutoff:
        chain, s = [], kid.isectStart
        while s < 0xFFFFFFFA and len(chain) <= len(ole.fat):
            chain.append(s)
            s = ole.fat[s]
        print('chain', kid.name.encode('utf-16-le').hex(), ' '.join(map(str, chain)))
)PY";

std::u16string FromHex(const std::string& hex) {
  std::u16string out;
  for (size_t i = 0; i + 3 < hex.size(); i += 4) {
    unsigned lo = std::stoul(hex.substr(i, 2), nullptr, 16);
    unsigned hi = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
    out.push_back(static_cast<char16_t>(lo | (hi << 8)));
  }
  return out;
}

void SortByName(std::vector<OracleStream>& streams) {
  std::sort(streams.begin(), streams.end(),
            [](const OracleStream& a, const OracleStream& b) { return a.name < b.name; });
}

}  // namespace

std::vector<OracleStream> OleFileStreams(const std::string& path) {
  mkx::test::TempDir dump;
  auto result = mkx::test::Run({"/usr/bin/python3", "-c", kListScript, path, dump.path()});
  EXPECT_EQ(result.exit_code, 0) << "olefile failed on " << path << ": " << result.err;
  std::vector<OracleStream> out;
  if (result.exit_code != 0) return out;
  std::istringstream lines(result.out);
  std::string hex, file;
  uint64_t size = 0;
  while (lines >> hex >> size >> file) {
    OracleStream s{FromHex(hex), mkx::test::ReadBytes(file)};
    EXPECT_EQ(s.data.size(), size);
    out.push_back(std::move(s));
  }
  SortByName(out);
  return out;
}

OleLayout OleFileLayout(const std::string& path) {
  auto result = mkx::test::Run({"/usr/bin/python3", "-c", kLayoutScript, path});
  EXPECT_EQ(result.exit_code, 0) << "olefile failed on " << path << ": " << result.err;
  OleLayout layout;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind, hex;
    words >> kind;
    std::vector<uint32_t>* target = &layout.fat;
    if (kind == "chain") {
      words >> hex;
      target = &layout.chains[FromHex(hex)];
    }
    uint64_t value;
    while (words >> value) target->push_back(static_cast<uint32_t>(value));
  }
  return layout;
}

std::unique_ptr<CompoundFile> OpenOrFail(const std::string& path, bool writable) {
  auto file = platform::OpenFile(path, writable ? platform::FileMode::kReadWrite
                                                : platform::FileMode::kReadOnly);
  EXPECT_TRUE(file.ok()) << path;
  if (!file.ok()) return nullptr;
  auto cf = CompoundFile::Open(std::move(*file));
  EXPECT_TRUE(cf.ok()) << path << ": code " << cf.code();
  if (!cf.ok()) return nullptr;
  return std::move(*cf);
}

std::vector<OracleStream> OurStreams(const CompoundFile& file) {
  std::vector<OracleStream> out;
  for (const EntryInfo& e : file.RootEntries()) {
    if (e.kind != EntryKind::kStream) continue;
    auto data = file.ReadStream(e.name);
    EXPECT_TRUE(data.ok()) << "stream of size " << e.size << " code " << data.code();
    if (!data.ok()) continue;
    EXPECT_EQ(data->size(), e.size);
    out.push_back({e.name, std::move(*data)});
  }
  SortByName(out);
  return out;
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

}  // namespace mkx::compound::test
