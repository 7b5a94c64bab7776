// The whole job on real and generated databases: property file in, transform out,
// checked by applying the transform with an independent installer implementation.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include "engine/compound/compound_file.h"
#include "engine/stream_name.h"
#include "platform/file.h"
#include "support/test_support.h"

namespace mkx {
namespace {

using test::TempDir;

struct ToolRun {
  test::CommandResult result;
  std::string transform;
};

bool NoTempFilesLeft(const std::string& dir) {
  bool none = true;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name).rfind("msi", 0) == 0) none = false;
    }
    closedir(d);
  }
  return none;
}

/// Runs the tool on a copy-free source with the given property file contents.
ToolRun RunTool(const TempDir& work, const std::string& database, const std::string& properties) {
  test::WriteText(work.File("props.txt"), properties);
  ToolRun run;
  run.transform = work.File("out.mst");
  std::remove(run.transform.c_str());
  run.result = test::Run({test::ToolPath(), "-t", run.transform, "-p", work.File("props.txt"), database},
                         {"TMPDIR=" + work.File("tmp")});
  return run;
}

test::CommandResult OracleCheck(const std::string& base, const std::string& transform,
                                const std::vector<std::string>& assignments) {
  std::vector<std::string> args{"check", base, transform};
  args.insert(args.end(), assignments.begin(), assignments.end());
  return test::RunOracle(args);
}

/// The first Property key made only of upper-case letters, digits and '_', or "".
std::string FirstUpperCaseProperty(const std::string& database) {
  auto dump = test::Run({test::OraclePath(), "dump", database, "Property"});
  size_t pos = dump.out.find("Property*");
  while (pos != std::string::npos) {
    pos = dump.out.find('\n', pos);
    if (pos == std::string::npos) break;
    ++pos;
    std::string key = dump.out.substr(pos, dump.out.find('\t', pos) - pos);
    if (!key.empty() && key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos) {
      return key;
    }
  }
  return "";
}

class EndToEndTest : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEndTest, TransformSetsExactlyTheGivenProperties) {
  if (!test::HaveWine()) GTEST_SKIP() << "wine is not installed";
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  const std::string database = GetParam();
  const auto before = test::ReadBytes(database);

  // New, lower-case and apostrophe-bearing properties, and an existing upper-case
  // property (when the database has one) set to another value.
  std::string existing = FirstUpperCaseProperty(database);
  std::string props = "NEWPROP=new value\r\nlowername=Lower\nQUOTED=O'Brien's \"x\"\n";
  std::vector<std::string> expected{"NEWPROP=new value", "LOWERNAME=Lower", "QUOTED=O'Brien's \"x\""};
  if (!existing.empty()) {
    props += existing + "=Changed value\n";
    expected.push_back(existing + "=Changed value");
  }
  ToolRun run = RunTool(work, database, props);
  EXPECT_EQ(run.result.exit_code, 0) << run.result.out;
  EXPECT_NE(run.result.out.find("NEWPROP=new value \n"
                                "Successfully inserting property NEWPROP as value new value\n"
                                "Successfully updating property NEWPROP as value new value\n"),
            std::string::npos)
      << run.result.out;
  if (!existing.empty()) {
    EXPECT_NE(run.result.out.find("Error in inserting property " + existing + " as value Changed value\n"
                                  "Successfully updating property " + existing + " as value Changed value\n"),
              std::string::npos)
        << run.result.out;
  }
  ASSERT_TRUE(test::FileExists(run.transform)) << run.result.out;
  auto check = OracleCheck(database, run.transform, expected);
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;

  EXPECT_EQ(test::ReadBytes(database), before) << "the source database changed";
  EXPECT_TRUE(NoTempFilesLeft(work.File("tmp")));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EndToEndTest, ::testing::ValuesIn(test::AllFixtureDatabases()),
                         [](const auto& info) {
                           std::string name = info.param.substr(info.param.rfind('/') + 1);
                           for (char& c : name) if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(EndToEndTest, ExistingValueLatinBytesLongValuesAndManyProperties) {
  if (!test::HaveWine()) GTEST_SKIP() << "wine is not installed";
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  const std::string database = test::BuiltFixture("minimal.msi");
  std::string props = "MYPROP=changed\nLATIN=caf\xE9 na\xEFve\nLONG=" + std::string(100000, 'L') + "\n";
  std::vector<std::string> expected{"MYPROP=changed", "LATIN=caf\xC3\xA9 na\xC3\xAFve",
                                    "LONG=" + std::string(100000, 'L')};
  for (int i = 0; i < 1000; ++i) {
    props += "BULK" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    expected.push_back("BULK" + std::to_string(i) + "=value " + std::to_string(i));
  }
  ToolRun run = RunTool(work, database, props);
  EXPECT_EQ(run.result.exit_code, 0) << run.result.out.substr(0, 2000);
  // Echoed as console bytes, the long value whole across the printer's slices.
  for (const std::string& line : {std::string("property LATIN as value caf\xE9 na\xEFve\n"),
                                 "property LONG as value " + std::string(100000, 'L') + "\n"}) {
    EXPECT_NE(run.result.out.find("Successfully updating " + line), std::string::npos) << line.substr(0, 40);
  }
  auto check = OracleCheck(database, run.transform, expected);
  EXPECT_EQ(check.exit_code, 0) << check.out.substr(0, 4000) << check.err;
  EXPECT_TRUE(NoTempFilesLeft(work.File("tmp")));
}

TEST(EndToEndTest, CyrillicValuesFromUtf8AndUtf16Files) {
  if (!test::HaveWine()) GTEST_SKIP() << "wine is not installed";
  // "CITY=Москва\r\nlabel=Привет\r\n" after each encoding's byte-order mark.
  const std::string utf8 = "CITY=\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0\r\n"
                           "label=\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\n";
  std::string utf16le = "\xFF\xFE";
  for (char16_t c : std::u16string(u"CITY=\u041C\u043E\u0441\u043A\u0432\u0430\r\n"
                                   u"label=\u041F\u0440\u0438\u0432\u0435\u0442\r\n")) {
    utf16le += static_cast<char>(c & 0xFF);
    utf16le += static_cast<char>(c >> 8);
  }
  const std::vector<std::string> expected{"CITY=\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0",
                                          "LABEL=\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"};
  for (const char* fixture : {"cp1251.msi", "cp65001.msi"}) {
    for (const std::string& props : {"\xEF\xBB\xBF" + utf8, utf16le}) {
      TempDir work;
      ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
      const std::string database = test::BuiltFixture(fixture);
      ToolRun run = RunTool(work, database, props);
      EXPECT_EQ(run.result.exit_code, 0) << fixture << "\n" << run.result.out;
      auto check = OracleCheck(database, run.transform, expected);
      EXPECT_EQ(check.exit_code, 0) << fixture << "\n" << check.out << check.err;
    }
  }
}

TEST(EndToEndTest, SameValueOnlyGivesNoTransformAndStatusOne) {
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  const std::string database = test::BuiltFixture("minimal.msi");
  // Find MYPROP's current value through the oracle's dump, then set it again.
  auto dump = test::Run({test::OraclePath(), "dump", database, "Property"});
  ASSERT_EQ(dump.exit_code, 0);
  auto at = dump.out.find("\nMYPROP\t");
  ASSERT_NE(at, std::string::npos) << dump.out;
  std::string value = dump.out.substr(at + 8, dump.out.find('\n', at + 1) - at - 8);

  ToolRun run = RunTool(work, database, "MYPROP=" + value + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_NE(run.result.out.find("Successfully updating property MYPROP as value " + value + "\n \n"
                                "Error in generate MST for the property set, Err#232\nErr#232 "),
            std::string::npos)
      << run.result.out;
  EXPECT_FALSE(test::FileExists(run.transform));
  EXPECT_TRUE(NoTempFilesLeft(work.File("tmp")));
}

TEST(EndToEndTest, MissingTransformDirectoryIsReported) {
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  test::WriteText(work.File("props.txt"), "NEWPROP=1\n");
  const std::string target = work.File("no/such/dir/out.mst");
  auto result = test::Run({test::ToolPath(), "-t", target, "-p", work.File("props.txt"),
                           test::BuiltFixture("minimal.msi")},
                          {"TMPDIR=" + work.File("tmp")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.out.find("Error in generate MST for the property set, Err#1631\nErr#1631 "), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(target), std::string::npos) << "the extended text names the path";
  EXPECT_FALSE(test::FileExists(target));
  EXPECT_TRUE(NoTempFilesLeft(work.File("tmp")));
}

TEST(EndToEndTest, ExistingTransformIsReplacedOnlyOnSuccess) {
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  const std::string database = test::BuiltFixture("minimal.msi");
  test::WriteText(work.File("out.mst"), "old transform");
  test::WriteText(work.File("props.txt"), "");
  auto failed = test::Run({test::ToolPath(), "-t", work.File("out.mst"), "-p", work.File("props.txt"), database},
                          {"TMPDIR=" + work.File("tmp")});
  EXPECT_EQ(failed.exit_code, 1);  // nothing to transform
  EXPECT_EQ(test::ReadText(work.File("out.mst")), "old transform");

  test::WriteText(work.File("props.txt"), "NEWPROP=1\n");
  auto ok = test::Run({test::ToolPath(), "-t", work.File("out.mst"), "-p", work.File("props.txt"), database},
                      {"TMPDIR=" + work.File("tmp")});
  EXPECT_EQ(ok.exit_code, 0) << ok.out;
  EXPECT_NE(test::ReadText(work.File("out.mst")), "old transform");
}

}  // namespace
}  // namespace mkx

namespace mkx {
namespace {

// No Property table, or one that cannot be read (its stream holds no whole rows): the
// output says which, and every line still runs and fails.
TEST(EndToEndTest, DatabaseWithoutReadablePropertyTableReportsBothStatements) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged);
    test::TempDir work;
    ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
    const std::string db = work.File("noprop.msi");
    test::CopyFile(test::BuiltFixture("minimal.msi"), db);
    if (damaged) {
      auto file = platform::OpenFile(db, platform::FileMode::kReadWrite);
      ASSERT_TRUE(file.ok());
      auto cf = compound::CompoundFile::Open(std::move(*file));
      ASSERT_TRUE(cf.ok());
      const std::vector<compound::StreamChange> odd{{engine::EncodeStreamName(u"Property", true),
                                                     std::vector<uint8_t>(41, 1)}};
      ASSERT_TRUE((*cf)->Commit(odd).ok());
    } else {
      ASSERT_EQ(test::Run({"msibuild", db, "-q", "DROP TABLE Property"}).exit_code, 0);
    }
    test::WriteText(work.File("props.txt"), "A=1\n");
    auto result = test::Run({test::ToolPath(), "-t", work.File("out.mst"), "-p", work.File("props.txt"), db},
                            {"TMPDIR=" + work.File("tmp")});
    EXPECT_EQ(result.exit_code, 1);
    const std::string first = damaged ? "Error in reading the Property table of the MSI " + db + ", Err#1627\n"
                                      : "The MSI " + db + " has no Property table: no property can be set\n";
    EXPECT_EQ(result.out.substr(0, first.size()), first) << result.out;
    EXPECT_NE(result.out.find("A=1 \nError in inserting property A as value 1\n"
                              "Error in updating property A as value 1\n \n"),
              std::string::npos)
        << result.out;
    EXPECT_FALSE(test::FileExists(work.File("out.mst")));
  }
}

// Runs that must not end in success: a Property table that is not the standard one,
// and text the database's codepage cannot hold. Each ends with exit 1, the line that
// says what failed, and the file already at -t as it was, even when other lines of
// the file were set.
TEST(EndToEndTest, PropertiesThatCannotBeSetExactlyFailTheRun) {
  struct Case {
    const char* label;
    const char* fixture;
    const char* property_table;  // CREATE TABLE replacing the Property table, or ""
    std::string properties;
    const char* expected;  // a line of the output
    const char* patch = "";  // Python (olefile) run on the copy first, or ""
  };
  const char* twin_name = test::kTwinNamePatch;  // two rows named MYPROP
  // Stores "MYPROP" as "MYPR" and cp932's IBM-extension bytes for U+2160, which the
  // codepage also holds as the NEC bytes 87 54: the text the file names.
  const char* cp932_twin =
      "import sys, olefile\n"
      "f = olefile.OleFileIO(sys.argv[1], write_mode=True)\n"
      "for e in f.listdir():\n"
      "    d = f.openstream(e).read()\n"
      "    if b'MYPROP' in d: f.write_stream(e, d.replace(b'MYPROP', b'MYPR\\xfa\\x4a'))\n"
      "f.close()\n";
  // Stores "MYPROP" as "MYPRO" and a lone cp932 lead byte, which readers decode as
  // they choose (Wine's reading is the text the file names).
  const char* cp932_malformed =
      "import sys, olefile\n"
      "f = olefile.OleFileIO(sys.argv[1], write_mode=True)\n"
      "for e in f.listdir():\n"
      "    d = f.openstream(e).read()\n"
      "    if b'MYPROP' in d: f.write_stream(e, d.replace(b'MYPROP', b'MYPRO\\x81'))\n"
      "f.close()\n";
  // Stores "MYPROP" as "MYPRO" and a NUL, which some readers take for "MYPRO".
  const char* key_with_nul =
      "import sys, olefile\n"
      "f = olefile.OleFileIO(sys.argv[1], write_mode=True)\n"
      "for e in f.listdir():\n"
      "    d = f.openstream(e).read()\n"
      "    if b'MYPROP' in d: f.write_stream(e, d.replace(b'MYPROP', b'MYPRO\\x00'))\n"
      "f.close()\n";
  const std::string too_long = "SMALL=1\nBIG=" + std::string(0x20000, 'v') + "\n";
  const Case cases[] = {
      {"an extra required column", "minimal.msi",
       "CREATE TABLE Property (Property CHAR(72) NOT NULL, Value CHAR(0) NOT NULL, Extra CHAR(10) NOT NULL "
       "PRIMARY KEY Property)",
       "NEWP=1\n", "Error in updating property NEWP as value 1\n"},
      {"both columns keys", "minimal.msi",
       "CREATE TABLE Property (Property CHAR(72) NOT NULL, Value CHAR(0) PRIMARY KEY Property, Value)", "NEWP=1\n",
       "Error in updating property NEWP as value 1\n"},
      {"a temporary Value column", "minimal.msi",
       "CREATE TABLE Property (Property CHAR(72) NOT NULL, Value CHAR(0) TEMPORARY PRIMARY KEY Property)", "NEWP=1\n",
       "Err#1624 The transform was not published: the database's Property table is not the standard one"},
      {"an extra optional column", "minimal.msi",
       "CREATE TABLE Property (Property CHAR(72) NOT NULL, Value CHAR(0) NOT NULL, Extra CHAR(10) PRIMARY KEY Property)",
       "NEWP=1\n", "Err#1624 The transform was not published: the database's Property table is not the standard one"},
      {"two names one cp932 byte string", "cp932.msi", "", "\xfcX=1\n\xfdX=2\n", "Error in updating property "},
      {"cp1252 bytes that are not Latin-1", "cp1252.msi", "", "GOOD=1\nEURO=\x80\nOE=\x9c\n",
       "Error in updating property EURO as value \x80\nErr#1627 Database: "},
      {"a value with a character that cp1251 lacks", "cp1251.msi", "", "\xEF\xBB\xBF" "CITY=\xD0\x9C\xC3\xA9\n",
       "holds characters that codepage 1251 of the database cannot represent (U+00E9 first)"},
      {"a name the string pool holds twice", "minimal.msi", "", "MYPROP=new\n",
       "Error in updating property MYPROP as value new\n", twin_name},
      {"a key held twice, another name set", "minimal.msi", "", "NEWP=1\n",
       "Err#1628 Table Property cannot be transformed: two of its rows hold the key MYPROP.", twin_name},
      {"a cp932 name the pool holds as other bytes", "cp932.msi", "", "\xEF\xBB\xBFMYPR\xE2\x85\xA0=new\n",
       "so its rows cannot be told apart", cp932_twin},
      {"a cp932 key that is no valid text", "cp932.msi", "", "\xEF\xBB\xBFMYPRO\xE3\x83\xBB=new\n",
       "are no text in codepage 932", cp932_malformed},
      {"a key holding a NUL", "minimal.msi", "", "MYPRO=new\n", "holds a NUL", key_with_nul},
      {"a value longer than installers read back", "minimal.msi", "", too_long.c_str(),
       "Error in updating property BIG as value v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    test::TempDir work;
    ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
    const std::string db = work.File("db.msi");
    test::CopyFile(test::BuiltFixture(c.fixture), db);
    if (*c.property_table) {
      ASSERT_EQ(test::Run({"msibuild", db, "-q", "DROP TABLE Property"}).exit_code, 0);
      ASSERT_EQ(test::Run({"msibuild", db, "-q", c.property_table}).exit_code, 0);
    }
    if (*c.patch) {
      ASSERT_EQ(test::Run({"/usr/bin/python3", "-c", c.patch, db}).exit_code, 0);
    }
    test::WriteText(work.File("props.txt"), c.properties);
    test::WriteText(work.File("out.mst"), "previous");
    auto result = test::Run({test::ToolPath(), "-t", work.File("out.mst"), "-p", work.File("props.txt"), db},
                            {"TMPDIR=" + work.File("tmp")});
    EXPECT_EQ(result.exit_code, 1) << result.out;
    EXPECT_NE(result.out.find(c.expected), std::string::npos) << result.out;
    EXPECT_EQ(test::ReadText(work.File("out.mst")), "previous");
  }
}

}  // namespace
}  // namespace mkx

namespace mkx {
namespace {

/// Marks the last sector of the first root stream of `size` bytes as FREE in the FAT
/// of a version 3 file whose FAT sectors the header lists; returns false if none.
bool FreeLastSectorOfStream(std::vector<uint8_t>& b, uint32_t size) {
  auto get32 = [&](size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24; };
  auto fat_at = [&](uint32_t s) { return (size_t{get32(76 + 4 * (s / 128))} + 1) * 512 + 4 * (s % 128); };
  if (b[26] != 3 || get32(44) > 109) return false;
  for (uint32_t dir = get32(48); dir != 0xFFFFFFFE; dir = get32(fat_at(dir))) {
    for (size_t e = (size_t{dir} + 1) * 512; e < (size_t{dir} + 2) * 512; e += 128) {
      if (b[e + 66] != 2 || get32(e + 120) != size) continue;
      uint32_t s = get32(e + 116);
      while (get32(fat_at(s)) != 0xFFFFFFFE) s = get32(fat_at(s));
      for (int i = 0; i < 4; ++i) b[fat_at(s) + i] = 0xFF;
      return true;
    }
  }
  return false;
}

// A stream whose chain ends in a FREE sector (here putty's 204,288-byte
// Binary.WixCA) would let the commit reuse that live sector and put a changed
// Binary stream in the transform: the database is refused instead.
TEST(EndToEndTest, DatabaseWithUnsoundChainIsRefused) {
  TempDir work;
  ASSERT_EQ(mkdir(work.File("tmp").c_str(), 0700), 0);
  auto bytes = test::ReadBytes(test::RealFixture("putty-0.68-installer.msi"));
  ASSERT_TRUE(FreeLastSectorOfStream(bytes, 204288));
  const std::string database = work.File("damaged.msi");
  test::WriteBytes(database, bytes);
  ToolRun run = RunTool(work, database, "NEWPROP=1\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_NE(run.result.out.find("Error in opening the MSI " + database + ", Err#110\n"), std::string::npos)
      << run.result.out;
  EXPECT_FALSE(test::FileExists(run.transform));
  EXPECT_TRUE(NoTempFilesLeft(work.File("tmp")));
  EXPECT_EQ(test::ReadBytes(database), bytes);
}

}  // namespace
}  // namespace mkx
