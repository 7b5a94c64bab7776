// The command line on the real binary: which words become which path, the usage
// line, and the exit status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include "driver/tool_options.h"
#include "support/test_support.h"

namespace mkx::driver {
namespace {

using test::TempDir;

const std::string kUsage = "mkxform -t \"c:\\output.mst\" -p \"c:\\property.txt\" setup.msi\n";

std::vector<std::string> TempFilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind("msi", 0) == 0) names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

TEST(ScanArgumentsTest, AssignsWordsAsTheToolDefines) {
  struct Case {
    std::vector<std::u16string> args;
    std::u16string database, transform, properties;
    bool valid;
  } cases[] = {
      {{}, u"i:\\wix\\xxx.msi", u"output.mst", u"", false},
      {{u"-p", u"props.txt"}, u"i:\\wix\\xxx.msi", u"output.mst", u"props.txt", true},
      {{u"a.msi", u"-p"}, u"a.msi", u"output.mst", u"", false},
      {{u"-t", u"a.mst", u"b.msi", u"-p", u"c.txt", u"d.msi"}, u"d.msi", u"a.mst", u"c.txt", true},
      {{u"-P", u"c.txt"}, u"c.txt", u"output.mst", u"", false},
      {{u"-p", u"c.txt", u"-t", u"-p"}, u"i:\\wix\\xxx.msi", u"-p", u"c.txt", true},
      {{u"-p", u"c.txt", u""}, u"", u"output.mst", u"c.txt", false},
      {{u"-p", u"", u"x.msi"}, u"x.msi", u"output.mst", u"", false},
      {{u"/p", u"-T", u"-t"}, u"-T", u"output.mst", u"", false},
      {{u"-t", u"", u"-p", u"a", u"-p", u"b"}, u"i:\\wix\\xxx.msi", u"", u"b", true},
  };
  for (const auto& c : cases) {
    std::vector<std::u16string> args{u"mkxform"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolOptions options = ScanArguments(args);
    EXPECT_EQ(options.DatabasePath, c.database);
    EXPECT_EQ(options.TransformPath, c.transform);
    EXPECT_EQ(options.PropertyFilePath, c.properties);
    EXPECT_EQ(ValidateOptions(options), c.valid);
  }
}

TEST(CommandLineTest, RealBinaryFollowsTheArgumentTable) {
  TempDir work, tmp;
  test::CopyFile(test::BuiltFixture("minimal.msi"), work.File("d.msi"));
  test::CopyFile(test::BuiltFixture("minimal.msi"), work.File("i:\\wix\\xxx.msi"));
  test::WriteText(work.File("c.txt"), "NEWPROP=1\n");
  test::WriteText(work.File("props.txt"), "OTHER=2\n");
  ASSERT_EQ(link(work.File("d.msi").c_str(), work.File("link.msi").c_str()), 0);
  ASSERT_EQ(symlink("c.txt", work.File("c-link.txt").c_str()), 0);
  const std::string env = "TMPDIR=" + tmp.path();
  const auto database_before = test::ReadBytes(work.File("d.msi"));

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output_prefix;  // expected start of standard output
    std::string transform;      // file that must exist afterwards ("" = none)
  } cases[] = {
      {{}, 255, kUsage, ""},
      {{"a.msi", "-p"}, 255, kUsage, ""},
      {{"-P", "c.txt"}, 255, kUsage, ""},
      {{"-p", "c.txt", ""}, 255, kUsage, ""},
      {{"-p", "missing.txt", "d.msi"}, 255, "Error in opening property text file\n" + kUsage, ""},
      {{"-p", "props.txt"}, 0, "OTHER=2 \n", "output.mst"},
      {{"-t", "a.mst", "b.msi", "-p", "c.txt", "d.msi"}, 0, "NEWPROP=1 \n", "a.mst"},
      {{"-p", "c.txt", "-t", "-p"}, 0, "NEWPROP=1 \n", "-p"},
      // The transform must never overwrite an input, however it is spelled.
      {{"-t", "c.txt", "-p", "c.txt", "d.msi"}, 255,
       "Error: the transform path names an input file c.txt\n" + kUsage, ""},
      {{"-t", "./d.msi", "-p", "c.txt", "d.msi"}, 255,
       "Error: the transform path names an input file ./d.msi\n" + kUsage, ""},
      {{"-t", "link.msi", "-p", "c.txt", "d.msi"}, 255,
       "Error: the transform path names an input file link.msi\n" + kUsage, ""},
      {{"-t", "c-link.txt", "-p", "c.txt", "missing.msi"}, 255,
       "Error: the transform path names an input file c-link.txt\n" + kUsage, ""},
      // A property file that fails to read (address 0 of the tool's own memory) ends
      // the run without a transform, not as if the file had ended there.
      {{"-t", "unread.mst", "-p", "/proc/self/mem", "d.msi"}, 1,
       "Error in reading property text file: Input/output error\n", ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{test::ToolPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto result = test::Run(argv, {env}, work.path());
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "] ";
    EXPECT_EQ(result.exit_code, c.status) << shown << "\n" << result.out;
    EXPECT_EQ(result.out.substr(0, c.output_prefix.size()), c.output_prefix) << shown;
    if (c.status == 255) {
      EXPECT_EQ(result.out, c.output_prefix) << shown;
    }
    EXPECT_TRUE(result.err.empty()) << result.err;
    if (!c.transform.empty()) {
      EXPECT_TRUE(test::FileExists(work.File(c.transform))) << shown;
      std::remove(work.File(c.transform).c_str());
    }
    EXPECT_TRUE(TempFilesIn(tmp.path()).empty()) << shown;
  }
  EXPECT_FALSE(test::FileExists(work.File("unread.mst")));
  EXPECT_EQ(test::ReadBytes(work.File("d.msi")), database_before);
  EXPECT_EQ(test::ReadText(work.File("c.txt")), "NEWPROP=1\n");
}

TEST(CommandLineTest, UnopenableSourceIsReportedAndEndsWithStatusOne) {
  TempDir work, tmp;
  test::WriteText(work.File("c.txt"), "A=1\n");
  test::WriteText(work.File("not-a-database.msi"), "just some text, not a compound file\n");
  const std::string env = "TMPDIR=" + tmp.path();

  // A missing source: the copy fails (message with the full temporary path), then the
  // source cannot be opened.
  auto missing = test::Run({test::ToolPath(), "-p", "c.txt", "nope.msi"}, {env}, work.path());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out.rfind("Error copying the MSI to " + tmp.path() + "/msi", 0), 0u) << missing.out;
  EXPECT_NE(missing.out.find("Error in opening the MSI nope.msi, Err#110\n"), std::string::npos) << missing.out;
  EXPECT_TRUE(TempFilesIn(tmp.path()).empty());

  // A file that is not a database: copied, then refused.
  auto bad = test::Run({test::ToolPath(), "-p", "c.txt", "not-a-database.msi"}, {env}, work.path());
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out.rfind("Error in opening the MSI not-a-database.msi, Err#110\nErr#110 ", 0), 0u) << bad.out;
  EXPECT_TRUE(TempFilesIn(tmp.path()).empty());
  EXPECT_FALSE(test::FileExists(work.File("output.mst")));
}

}  // namespace
}  // namespace mkx::driver
