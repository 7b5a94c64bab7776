// Streams of the genuine transforms inside WPF2_32.msp, read with olefile (an
// independent reader) so that tests can compare our encoders with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkx::test {

/// Bytes of a stream of a compound file, named by its storage path; each element is
/// the stored name or the decoded one with "!" for a table stream, e.g.
/// {"#T1ToU1", "!Property"}. Empty (and a test failure) if it cannot be read.
std::vector<uint8_t> ReadOleStream(const std::string& file, const std::vector<std::string>& path);

}  // namespace mkx::test
