// On-disk layout of compound files: header, directory entries, special sector ids.
//
// Only byte layout lives here (parsing and serializing little-endian fields);
// validation and the meaning of the structures belong to the reader and committer.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/compound/compound_file.h"

namespace mkx::compound::format {

// Special values of FAT entries and sector ids.
inline constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr uint32_t kDifatSector = 0xFFFFFFFC;
inline constexpr uint32_t kFatSector = 0xFFFFFFFD;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr uint32_t kFreeSector = 0xFFFFFFFF;
// "No sibling / no child" in directory entries.
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;

inline constexpr size_t kHeaderSize = 512;
inline constexpr size_t kDirEntrySize = 128;
inline constexpr size_t kHeaderDifatCount = 109;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr size_t kMaxNameUnits = 31;

inline constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                      0xA1, 0xB1, 0x1A, 0xE1};

/// How many units of `unit` bytes hold `bytes`; never wraps (a version 4 stream size
/// can be any 64-bit value).
inline constexpr uint64_t UnitsFor(uint64_t bytes, uint64_t unit) { return bytes / unit + (bytes % unit != 0); }

enum ObjectType : uint8_t { kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };
enum Color : uint8_t { kRed = 0, kBlack = 1 };

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

/// The 512-byte header, field by field (signature and byte order are implied).
struct Header {
  Clsid clsid{};
  uint16_t minor_version = 0x3E;
  uint16_t major_version = 3;
  uint16_t sector_shift = 9;
  uint16_t mini_sector_shift = 6;
  uint32_t num_dir_sectors = 0;  // always 0 in version 3
  uint32_t num_fat_sectors = 0;
  uint32_t first_dir_sector = kEndOfChain;
  uint32_t transaction_signature = 0;
  uint32_t mini_stream_cutoff = kMiniStreamCutoff;
  uint32_t first_minifat_sector = kEndOfChain;
  uint32_t num_minifat_sectors = 0;
  uint32_t first_difat_sector = kEndOfChain;
  uint32_t num_difat_sectors = 0;
  std::array<uint32_t, kHeaderDifatCount> difat{};

  Header() { difat.fill(kFreeSector); }
};

/// Decodes the fields; returns false when the signature or byte order is wrong.
inline bool ParseHeader(const uint8_t* p, Header& h) {
  for (size_t i = 0; i < kSignature.size(); ++i) {
    if (p[i] != kSignature[i]) return false;
  }
  if (Get16(p + 28) != 0xFFFE) return false;
  for (size_t i = 0; i < 16; ++i) h.clsid[i] = p[8 + i];
  h.minor_version = Get16(p + 24);
  h.major_version = Get16(p + 26);
  h.sector_shift = Get16(p + 30);
  h.mini_sector_shift = Get16(p + 32);
  h.num_dir_sectors = Get32(p + 40);
  h.num_fat_sectors = Get32(p + 44);
  h.first_dir_sector = Get32(p + 48);
  h.transaction_signature = Get32(p + 52);
  h.mini_stream_cutoff = Get32(p + 56);
  h.first_minifat_sector = Get32(p + 60);
  h.num_minifat_sectors = Get32(p + 64);
  h.first_difat_sector = Get32(p + 68);
  h.num_difat_sectors = Get32(p + 72);
  for (size_t i = 0; i < kHeaderDifatCount; ++i) h.difat[i] = Get32(p + 76 + 4 * i);
  return true;
}

/// Encodes the header into 512 bytes.
inline void SerializeHeader(const Header& h, uint8_t* p) {
  std::fill(p, p + kHeaderSize, uint8_t{0});
  for (size_t i = 0; i < kSignature.size(); ++i) p[i] = kSignature[i];
  for (size_t i = 0; i < 16; ++i) p[8 + i] = h.clsid[i];
  Put16(p + 24, h.minor_version);
  Put16(p + 26, h.major_version);
  Put16(p + 28, 0xFFFE);
  Put16(p + 30, h.sector_shift);
  Put16(p + 32, h.mini_sector_shift);
  Put32(p + 40, h.num_dir_sectors);
  Put32(p + 44, h.num_fat_sectors);
  Put32(p + 48, h.first_dir_sector);
  Put32(p + 52, h.transaction_signature);
  Put32(p + 56, h.mini_stream_cutoff);
  Put32(p + 60, h.first_minifat_sector);
  Put32(p + 64, h.num_minifat_sectors);
  Put32(p + 68, h.first_difat_sector);
  Put32(p + 72, h.num_difat_sectors);
  for (size_t i = 0; i < kHeaderDifatCount; ++i) Put32(p + 76 + 4 * i, h.difat[i]);
}

/// One 128-byte directory entry. Fields the engine does not interpret (state bits,
/// times) are kept so rewriting the directory preserves them.
struct DirEntry {
  std::u16string name;
  uint8_t type = kTypeUnused;
  uint8_t color = kBlack;
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  uint32_t child = kNoStream;
  Clsid clsid{};
  uint32_t state_bits = 0;
  uint64_t creation_time = 0;
  uint64_t modified_time = 0;
  uint32_t start = kEndOfChain;
  uint64_t size = 0;
  bool name_valid = true;  // false when the stored name length is impossible
};

/// Decodes an entry. In version 3 files the high 32 bits of the size are ignored.
inline DirEntry ParseDirEntry(const uint8_t* p, bool version3) {
  DirEntry e;
  uint16_t name_bytes = Get16(p + 64);
  if (name_bytes > 64 || name_bytes % 2 != 0) {
    e.name_valid = false;
  } else if (name_bytes >= 2) {
    for (size_t i = 0; i + 1 < name_bytes / 2u; ++i) e.name.push_back(static_cast<char16_t>(Get16(p + 2 * i)));
  }
  e.type = p[66];
  e.color = p[67];
  e.left = Get32(p + 68);
  e.right = Get32(p + 72);
  e.child = Get32(p + 76);
  for (size_t i = 0; i < 16; ++i) e.clsid[i] = p[80 + i];
  e.state_bits = Get32(p + 96);
  e.creation_time = Get64(p + 100);
  e.modified_time = Get64(p + 108);
  e.start = Get32(p + 116);
  e.size = version3 ? Get32(p + 120) : Get64(p + 120);
  return e;
}

/// Encodes an entry into 128 bytes; an unused entry is written in its empty form.
inline void SerializeDirEntry(const DirEntry& e, uint8_t* p) {
  std::fill(p, p + kDirEntrySize, uint8_t{0});
  if (e.type == kTypeUnused) {
    Put32(p + 68, kNoStream);
    Put32(p + 72, kNoStream);
    Put32(p + 76, kNoStream);
    return;
  }
  size_t units = std::min(e.name.size(), kMaxNameUnits);
  for (size_t i = 0; i < units; ++i) Put16(p + 2 * i, static_cast<uint16_t>(e.name[i]));
  Put16(p + 64, static_cast<uint16_t>((units + 1) * 2));
  p[66] = e.type;
  p[67] = e.color;
  Put32(p + 68, e.left);
  Put32(p + 72, e.right);
  Put32(p + 76, e.child);
  for (size_t i = 0; i < 16; ++i) p[80 + i] = e.clsid[i];
  Put32(p + 96, e.state_bits);
  Put64(p + 100, e.creation_time);
  Put64(p + 108, e.modified_time);
  Put32(p + 116, e.start);
  Put64(p + 120, e.size);
}

}  // namespace mkx::compound::format
