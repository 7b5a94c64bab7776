#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
  EXPECT_EQ(Narrow(u"a\U0001F600b\xD800"), "a?b?");  // a pair is one character
}

TEST(ConsoleTest, FormatsWideStringsAndSignedCodes) {
  EXPECT_EQ(FormatMessage(u"Err#%d %s\n", {int64_t{-1}, std::u16string_view(u"x")}), u"Err#-1 x\n");
  EXPECT_EQ(FormatMessage(u"%s and %s", {std::u16string_view(u"a"), std::u16string_view(u"")}), u"a and ");
  EXPECT_EQ(FormatMessage(u"100%% %d", {int64_t{1631}}), u"100% 1631");
}

// A character above U+FFFF prints as one '?', also where it falls across the printer's
// 4096-unit slices.
TEST(ConsoleTest, PrintsASurrogatePairAsOneQuestionMark) {
  for (size_t before : {size_t{0}, size_t{4095}}) {
    const std::u16string value = std::u16string(before, u'a') + u"\U0001F600b";
    testing::internal::CaptureStdout();
    Print(u"%s\n", {std::u16string_view(value)});
    FlushConsole();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(before, 'a') + "?b\n") << before;
  }
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

TEST(TempFilesTest, CreatesDistinctEmptyPrivateFilesNamedWithHexDigits) {
  TempDir dir;
  const std::u16string base = Widen(dir.path() + "/");
  std::set<std::u16string> seen;
  const std::regex pattern(dir.path() + "/msi[0-9A-F]{1,4}\\.tmp");
  for (int i = 0; i < 200; ++i) {
    auto made = CreateUniqueTempFile(base, u"msi");
    ASSERT_TRUE(made.ok());
    const std::u16string& name = made->path();
    EXPECT_TRUE(std::regex_match(Narrow(name), pattern)) << Narrow(name);
    EXPECT_TRUE(seen.insert(name).second);
    struct stat st{}, held{};
    ASSERT_EQ(stat(Narrow(name).c_str(), &st), 0);
    ASSERT_EQ(fstat(made->descriptor(), &held), 0);
    EXPECT_EQ(st.st_ino, held.st_ino);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  // The failure names the directory, with the system's reason.
  test::WriteText(dir.File("file"), "");
  const struct {
    std::string directory;
    int reason;
  } failures[] = {
      {dir.path() + "/missing/", ENOENT},
      {dir.File("file") + "/", ENOTDIR},
      {dir.path() + "/" + std::string(300, 'd') + "/", ENAMETOOLONG},
  };
  for (const auto& f : failures) {
    auto made = CreateUniqueTempFile(Widen(f.directory), u"msi");
    ASSERT_FALSE(made.ok()) << f.directory;
    EXPECT_EQ(made.error().fields[0], Widen(f.directory));
    EXPECT_EQ(SystemReason(made.error()), SystemErrorText(f.reason)) << f.directory;
  }
}

TEST(TempFilesTest, LongerNameWhenEveryShortNameIsTaken) {
  // 65,535 small files: in memory where the machine has a tmpfs for it.
  const char* tmpdir = std::getenv("TMPDIR");
  ScopedEnv memory("TMPDIR", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmpdir);
  TempDir dir;
  for (unsigned n = 1; n <= 0xFFFF; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "msi%X.tmp", n);
    const int fd = ::open(dir.File(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  auto made = CreateUniqueTempFile(Widen(dir.path() + "/"), u"msi");
  ASSERT_TRUE(made.ok()) << Narrow(SystemReason(made.error()));
  EXPECT_TRUE(std::regex_match(Narrow(made->path()), std::regex(dir.path() + "/msi[0-9A-F]{16}\\.tmp")))
      << Narrow(made->path());
}

TEST(TempFilesTest, ReopensOnlyTheFileThatWasCreated) {
  enum Change { kNone, kSymlinkToItself, kOtherFile };
  for (Change change : {kNone, kSymlinkToItself, kOtherFile}) {
    SCOPED_TRACE(change);
    TempDir dir;
    auto made = CreateUniqueTempFile(Widen(dir.path() + "/"), u"msi");
    ASSERT_TRUE(made.ok());
    const std::string path = Narrow(made->path());
    ASSERT_EQ(::write(made->descriptor(), "created", 7), 7);
    if (change != kNone) {
      ASSERT_EQ(::rename(path.c_str(), dir.File("moved").c_str()), 0);
    }
    // A link to the created file itself has its device and inode: only refusing to
    // follow it keeps the name from leading elsewhere later.
    if (change == kSymlinkToItself) {
      ASSERT_EQ(::symlink(dir.File("moved").c_str(), path.c_str()), 0);
    }
    if (change == kOtherFile) test::WriteText(path, "planted");
    auto reopened = OpenTempFile(*made);
    EXPECT_EQ(reopened.ok(), change == kNone);
    if (reopened.ok()) {
      EXPECT_EQ((*reopened)->Size(), 7u);
    } else {
      EXPECT_EQ(reopened.code(), result_code::kOpenFailed);
      EXPECT_EQ(reopened.error().fields[0], made->path());
    }
    if (change == kOtherFile) {
      EXPECT_EQ(test::ReadText(path), "planted");
    }
  }
}

TEST(FileCopyTest, CopiesThroughTheCreatedFileAndRefusesWhatIsNotARegularFile) {
  TempDir dir;
  std::vector<uint8_t> data(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131);
  test::WriteBytes(dir.File("src"), data);
  auto target = CreateUniqueTempFile(Widen(dir.path() + "/"), u"msi");
  ASSERT_TRUE(target.ok());
  ASSERT_TRUE(CopyFileOver(dir.File("src"), *target));
  EXPECT_EQ(test::ReadBytes(Narrow(target->path())), data);

  // Each failure carries the reason of that failure, whatever errno holds later. A
  // FIFO without a writer is refused at once, not waited on.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const struct {
    std::string source;
    int reason;
  } failures[] = {
      {dir.File("missing"), ENOENT},
      {dir.path(), EISDIR},
      {dir.File("fifo"), EINVAL},
      {"/dev/null", EINVAL},
  };
  for (const auto& f : failures) {
    auto fresh = CreateUniqueTempFile(Widen(dir.path() + "/"), u"msi");
    ASSERT_TRUE(fresh.ok());
    Status copied = CopyFileOver(f.source, *fresh);
    errno = EPERM;
    ASSERT_FALSE(copied.ok()) << f.source;
    EXPECT_EQ(SystemReason(copied.error()), SystemErrorText(f.reason)) << f.source;
    EXPECT_EQ(test::ReadText(Narrow(fresh->path())), "") << f.source;
  }

  EXPECT_TRUE(RemoveFile(dir.File("src")));
  Status again = RemoveFile(dir.File("src"));
  EXPECT_EQ(again.code(), result_code::kFileNotFound);
  EXPECT_FALSE(RemoveFile(""));
}

TEST(FileCopyTest, HolesOfASparseSourceStayHoles) {
  TempDir dir;
  constexpr off_t kSize = off_t{1} << 30;
  const std::string head = "head of the file", tail = "tail of the file";
  {
    const int fd = ::open(dir.File("sparse").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kSize - static_cast<off_t>(tail.size())),
              static_cast<ssize_t>(tail.size()));
    ::close(fd);
  }
  struct stat source{};
  ASSERT_EQ(::stat(dir.File("sparse").c_str(), &source), 0);
  if (source.st_blocks * 512 > kSize / 2) GTEST_SKIP() << "this file system does not keep holes";
  auto target = CreateUniqueTempFile(Widen(dir.path() + "/"), u"msi");
  ASSERT_TRUE(target.ok());
  ASSERT_TRUE(CopyFileOver(dir.File("sparse"), *target));
  struct stat copy{};
  ASSERT_EQ(::fstat(target->descriptor(), &copy), 0);
  EXPECT_EQ(copy.st_size, kSize);
  EXPECT_LT(copy.st_blocks * 512, 16 * 1024 * 1024) << "allocated bytes of a 1 GiB copy";
  std::string read_head(head.size(), '\0'), read_tail(tail.size(), '\0'), middle(4096, 'x');
  ASSERT_EQ(::pread(target->descriptor(), read_head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(::pread(target->descriptor(), read_tail.data(), tail.size(), kSize - static_cast<off_t>(tail.size())),
            static_cast<ssize_t>(tail.size()));
  ASSERT_EQ(::pread(target->descriptor(), middle.data(), middle.size(), kSize / 2), 4096);
  EXPECT_EQ(read_head, head);
  EXPECT_EQ(read_tail, tail);
  EXPECT_EQ(middle, std::string(4096, '\0'));
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
  // Written in place, a file is never reached through a symbolic link.
  ASSERT_EQ(::symlink("f", dir.File("link").c_str()), 0);
  EXPECT_EQ(OpenFile(dir.File("link"), FileMode::kReadWrite).code(), result_code::kOpenFailed);
  EXPECT_TRUE(OpenFile(dir.File("link"), FileMode::kReadOnly).ok());
}

}  // namespace
}  // namespace mkx::platform
