#include "engine/transform/genuine_transform.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace mkx::test {
namespace {

// Finds the entry whose stored name, or decoded name ("!" marking a table stream),
// matches each path element, and copies the stream out.
const char kScript[] = R"(
import olefile, sys
A = '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._'
def decode(name):
    out = ''
    for ch in name:
        c = ord(ch)
        if 0x3800 <= c < 0x4800: out += A[(c - 0x3800) & 63] + A[(c - 0x3800) >> 6]
        elif 0x4800 <= c < 0x4840: out += A[c - 0x4800]
        elif c == 0x4840: out += '!'
        else: out += ch
    return out
ole = olefile.OleFileIO(sys.argv[1])
want = sys.argv[3:]
for entry in ole.listdir(streams=True, storages=False):
    if len(entry) == len(want) and all(e == w or decode(e) == w for e, w in zip(entry, want)):
        open(sys.argv[2], 'wb').write(ole.openstream(entry).read())
        sys.exit(0)
sys.exit('no such stream')
)";

}  // namespace

std::vector<uint8_t> ReadOleStream(const std::string& file, const std::vector<std::string>& path) {
  TempDir dir;
  const std::string out = dir.File("stream.bin");
  std::vector<std::string> argv = {"/usr/bin/python3", "-c",
                                   kScript,
                                   file, out};
  argv.insert(argv.end(), path.begin(), path.end());
  CommandResult r = Run(argv);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  if (r.exit_code != 0) return {};
  return ReadBytes(out);
}

}  // namespace mkx::test
