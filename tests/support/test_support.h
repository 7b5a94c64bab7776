// Shared helpers for the test programs: scratch folders, files, child processes and
// the paths of the shared fixtures and the independent oracle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkx::test {

/// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& data);
void WriteText(const std::string& path, const std::string& text);
void CopyFile(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);

struct CommandResult {
  int exit_code = -1;   // exit status (0..255), or -signal when killed
  std::string out;      // standard output
  std::string err;      // standard error
};

/// Runs a program (no shell) with extra environment entries "NAME=value".
CommandResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                  const std::string& cwd = "");

/// Paths of shared material and of the tool under test.
std::string SharedDir();                 // ../shared
std::string RealFixture(const std::string& name);  // ../shared/fixtures/real/<name>
std::string BuiltFixture(const std::string& name); // make-fixtures output
std::string OraclePath();                // ../shared/tools/msi-oracle
/// Runs msi-oracle with these arguments. A Wine client that loses its server (one
/// test's wineserver shutting down as another's run starts: "wine client error")
/// says nothing about the transform; such a run is repeated, once.
CommandResult RunOracle(const std::vector<std::string>& args);
std::string ToolPath();                  // build/mkxform

/// Every installer database available for cross-checks: the real ones (.msi) and the
/// ones make-fixtures built.
std::vector<std::string> AllFixtureDatabases();

/// A Python (olefile) script for a copy of the minimal.msi fixture, whose pool holds
/// both "MYPROP" and "myprop": the second becomes "MYPROP" too, so two Property rows
/// hold that name under different ids. Run as: python3 -c kTwinNamePatch DB.
extern const char kTwinNamePatch[];

/// Whether Wine is installed (the oracle's apply/check need it).
bool HaveWine();

}  // namespace mkx::test
