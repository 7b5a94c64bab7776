// Verification of a written transform: a transform changing anything but the intended
// properties is caught, and a damaged transform is never published.
#include "transform/verify_transform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "driver/run.h"
#include "platform/console.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::transform {
namespace {

using test::TempDir;

// A transform made by the tool on minimal.msi: NEWPROP added, and the source's view
// of the properties it names.
struct Made {
  TempDir work;
  std::string transform = work.File("made.mst");
  Made() {
    test::WriteText(work.File("props.txt"), "NEWPROP=new value\n");
    ::mkdir(work.File("tmp").c_str(), 0700);
    const auto run = test::Run({test::ToolPath(), "-t", transform, "-p", work.File("props.txt"),
                                test::BuiltFixture("minimal.msi")},
                               {"TMPDIR=" + work.File("tmp")});
    EXPECT_EQ(run.exit_code, 0) << run.out;
  }
};

std::optional<std::u16string> NotInSource(const std::u16string&) { return std::nullopt; }

TEST(VerifyTransformTest, AcceptsExactlyTheIntendedChange) {
  Made made;
  struct Case {
    const char* label;
    std::vector<std::pair<std::u16string, std::u16string>> intended;  // set in this order
    SourceLookup source;
    const char16_t* complaint;  // nullptr: accepted
  };
  const Case cases[] = {
      {"exact", {{u"NEWPROP", u"new value"}}, NotInSource, nullptr},
      {"the last value of a name", {{u"NEWPROP", u"other"}, {u"NEWPROP", u"new value"}}, NotInSource, nullptr},
      {"another value", {{u"NEWPROP", u"other"}}, NotInSource, u"set property NEWPROP to new value, not to other"},
      {"not intended", {}, NotInSource, u"also change property NEWPROP"},
      {"one missing", {{u"NEWPROP", u"new value"}, {u"MORE", u"x"}}, NotInSource, u"does not set property MORE"},
      {"an insert of a property the source holds",
       {{u"NEWPROP", u"new value"}},
       [](const std::u16string&) -> std::optional<std::u16string> { return u"old"; },
       u"add property NEWPROP, which the database holds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    IntendedProperties intended;
    for (const auto& [name, value] : c.intended) intended.Set(name, value);
    const Status verified = VerifyTransform(made.transform, intended, c.source);
    if (!c.complaint) {
      EXPECT_TRUE(verified.ok())
          << platform::Narrow(verified.error().fields.empty() ? u"" : verified.error().fields[0]);
      continue;
    }
    ASSERT_FALSE(verified.ok());
    EXPECT_EQ(verified.code(), result_code::kInstallTransformFailure);
    ASSERT_FALSE(verified.error().fields.empty());
    EXPECT_NE(verified.error().fields[0].find(c.complaint), std::u16string::npos)
        << platform::Narrow(verified.error().fields[0]);
  }
}

// The tool itself, with its transform damaged after writing: the run fails with the
// verification's line and nothing appears at -t.
TEST(VerifyTransformTest, DamagedTransformIsNeverPublished) {
  using namespace std::string_literals;
  struct Case {
    const char* label;
    std::string from, to;  // every copy of `from` is replaced
    const char* complaint;
  };
  const Case cases[] = {
      {"one byte of the value", "verifyme", "Verifyme", "it would set property NEWPROP to Verifyme, not to verifyme."},
      // The pool's entries (length, count) of the name and the value: a count of 0
      // makes the installer read the value as null.
      {"the value's count set to 0", "\x07\0\x01\0\x08\0\x01\0"s, "\x07\0\x01\0\x08\0\0\0"s,
       "a Property record refers to a string its pool marks unused, which reads as null."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir work;
    test::WriteText(work.File("props.txt"), "NEWPROP=verifyme\n");
    const std::string target = work.File("out.mst");
    driver::RunHooks hooks;
    bool damaged = false;
    hooks.before_verifying = [&](const std::string& path) {
      // Every copy (a commit in place can leave a stale one in a freed sector), so the
      // live one is surely among them.
      auto bytes = test::ReadBytes(path);
      for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), c.from.begin(), c.from.end())) != bytes.end();) {
        at = std::copy(c.to.begin(), c.to.end(), at);
        damaged = true;
      }
      test::WriteBytes(path, bytes);
    };
    testing::internal::CaptureStdout();
    const int status = driver::RunTool({u"mkxform", u"-t", platform::Widen(target), u"-p",
                                        platform::Widen(work.File("props.txt")),
                                        platform::Widen(test::BuiltFixture("minimal.msi"))},
                                       hooks);
    platform::FlushConsole();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(damaged) << "the bytes were found in the transform";
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("Error in generate MST for the property set, Err#1624\nErr#1624 The transform was not "
                       "published: "s + c.complaint),
              std::string::npos)
        << out;
    EXPECT_FALSE(test::FileExists(target));
  }
}

}  // namespace
}  // namespace mkx::transform
