#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/system_error.h"
#include "platform/temp_files.h"
#include "platform/text_file.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::platform {
namespace {

using test::TempDir;

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) old_ = old;
    had_ = old != nullptr;
    if (value) setenv(name, value, 1); else unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1); else unsetenv(name_.c_str());
  }
 private:
  std::string name_, old_;
  bool had_ = false;
};

TEST(WideTest, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::u16string wide = Widen(all);
  ASSERT_EQ(wide.size(), all.size());
  EXPECT_EQ(wide[0xE9 - 1], u'\u00E9');
  EXPECT_EQ(Narrow(wide), all);
  EXPECT_EQ(Narrow(u"a\u0100b\u20AC"), "a?b?");
}

TEST(ConsoleTest, FormatsWideStringsAndSignedCodes) {
  EXPECT_EQ(FormatMessage(u"Err#%d %s\n", {int64_t{-1}, std::u16string_view(u"x")}), u"Err#-1 x\n");
  EXPECT_EQ(FormatMessage(u"%s and %s", {std::u16string_view(u"a"), std::u16string_view(u"")}), u"a and ");
  EXPECT_EQ(FormatMessage(u"100%% %d", {int64_t{1631}}), u"100% 1631");
  EXPECT_EQ(ToConsoleBytes(u"caf\u00E9 \u65E5"), "caf\xE9 ?");
}

TEST(TempFilesTest, DirectoryComesFromTmpdirWithTrailingSeparator) {
  {
    ScopedEnv env("TMPDIR", "/some/dir");
    EXPECT_EQ(*GetTempDirectory(), u"/some/dir/");
  }
  {
    ScopedEnv env("TMPDIR", "/already/");
    EXPECT_EQ(*GetTempDirectory(), u"/already/");
  }
  {
    ScopedEnv env("TMPDIR", "");
    EXPECT_EQ(*GetTempDirectory(), u"/tmp/");
  }
  {
    ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(*GetTempDirectory(), u"/tmp/");
    EXPECT_FALSE(GetTempDirectory(4).ok());  // "/tmp/" plus terminator does not fit
  }
}

TEST(TempFilesTest, CreatesDistinctEmptyFilesNamedWithHexDigits) {
  TempDir dir;
  const std::u16string base = Widen(dir.path() + "/");
  std::set<std::u16string> seen;
  const std::regex pattern(dir.path() + "/msi[0-9A-F]{1,4}\\.tmp");
  for (int i = 0; i < 200; ++i) {
    auto made = CreateUniqueTempFile(base, u"msi");
    ASSERT_TRUE(made.ok());
    const std::u16string& name = *made;
    EXPECT_TRUE(std::regex_match(Narrow(name), pattern)) << Narrow(name);
    EXPECT_TRUE(seen.insert(name).second);
    struct stat st{};
    ASSERT_EQ(stat(Narrow(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
  }
  auto missing = CreateUniqueTempFile(Widen(dir.path() + "/missing/"), u"msi");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(SystemReason(missing.error()), SystemErrorText(ENOENT));
}

TEST(FileCopyTest, OverwritesTargetAndFailsOnMissingSource) {
  TempDir dir;
  std::vector<uint8_t> data(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131);
  test::WriteBytes(dir.File("src"), data);
  test::WriteText(dir.File("dst"), "previous content that is longer than nothing");
  ASSERT_TRUE(CopyFileOver(dir.File("src"), dir.File("dst")));
  EXPECT_EQ(test::ReadBytes(dir.File("dst")), data);
  // A shorter source over a longer target leaves nothing of the old tail.
  test::WriteText(dir.File("short"), "short");
  ASSERT_TRUE(CopyFileOver(dir.File("short"), dir.File("dst")));
  EXPECT_EQ(test::ReadText(dir.File("dst")), "short");

  // Each failure carries the reason of that failure, whatever errno holds later.
  test::WriteText(dir.File("dst2"), "keep");
  const struct {
    std::string source, target;
    int reason;
  } failures[] = {
      {dir.File("missing"), dir.File("dst2"), ENOENT},
      {dir.path(), dir.File("dst3"), EISDIR},  // a directory is not a file
      {dir.File("src"), dir.File("no/such/dir"), ENOENT},
  };
  for (const auto& f : failures) {
    Status copied = CopyFileOver(f.source, f.target);
    errno = EPERM;
    ASSERT_FALSE(copied.ok()) << f.source;
    EXPECT_EQ(SystemReason(copied.error()), SystemErrorText(f.reason)) << f.source;
  }
  EXPECT_EQ(test::ReadText(dir.File("dst2")), "keep");

  EXPECT_TRUE(RemoveFile(dir.File("dst")));
  Status again = RemoveFile(dir.File("dst"));
  EXPECT_EQ(again.code(), result_code::kFileNotFound);
  EXPECT_FALSE(RemoveFile(""));
}

std::string ReadAll(const std::string& path) {
  auto file = TextModeFile::Open(path);
  if (!file.ok()) {
    ADD_FAILURE() << path;
    return {};
  }
  std::string out;
  for (int c; (c = (*file)->Get()) >= 0;) out.push_back(static_cast<char>(c));
  return out;
}

TEST(TextModeFileTest, TranslatesLineEndsAndStopsAtCtrlZ) {
  struct Case {
    std::string bytes, expected;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\rb\r", "a\rb\r"},          // lone CR stays
      {"a\r\r\nb", "a\r\nb"},        // CR before CR LF stays
      {"ab\x1A" "cd\n", "ab"},       // Ctrl-Z ends a disk file
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xFF\xE9\n", "\xFF\xE9\n"},
      {"", ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    test::WriteText(dir.File("f"), c.bytes);
    EXPECT_EQ(ReadAll(dir.File("f")), c.expected);
  }
}

TEST(TextModeFileTest, CtrlZEndsAPipeToo) {
  TempDir dir;
  std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { test::WriteText(fifo, "x\x1Ay\r\n"); });
  std::string got = ReadAll(fifo);
  writer.join();
  EXPECT_EQ(got, "x");
}

TEST(TextModeFileTest, MissingFileOrDirectoryDoesNotOpen) {
  TempDir dir;
  auto missing = TextModeFile::Open(dir.File("missing"));
  auto directory = TextModeFile::Open(dir.path());
  ASSERT_FALSE(missing.ok());
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(SystemReason(missing.error()), SystemErrorText(ENOENT));
  EXPECT_EQ(SystemReason(directory.error()), SystemErrorText(EISDIR));
}

TEST(RandomAccessFileTest, ReadOnlyNeverWritesAndCreateNewIsExclusive) {
  TempDir dir;
  test::WriteText(dir.File("f"), "0123456789");
  auto ro = OpenFile(dir.File("f"), FileMode::kReadOnly);
  ASSERT_TRUE(ro.ok());
  uint8_t buf[4];
  ASSERT_TRUE((*ro)->ReadAt(6, buf).ok());
  EXPECT_EQ(std::string(buf, buf + 4), "6789");
  EXPECT_FALSE((*ro)->ReadAt(8, buf).ok());  // past the end
  const uint8_t x[1] = {'x'};
  EXPECT_FALSE((*ro)->WriteAt(0, x).ok());
  EXPECT_EQ(test::ReadText(dir.File("f")), "0123456789");

  auto created = OpenFile(dir.File("f"), FileMode::kCreateNew);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().code, result_code::kCreateFailed);
  auto missing = OpenFile(dir.File("nope"), FileMode::kReadOnly);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, result_code::kOpenFailed);
  ASSERT_EQ(missing.error().fields.size(), 2u);
  EXPECT_EQ(Narrow(missing.error().fields[0]), dir.File("nope"));
}

}  // namespace
}  // namespace mkx::platform
