#include "engine/transform/pair_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace mkx::test {

void MsiBuild(const std::string& db, const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {"msibuild", db};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = Run(argv, {}, cwd);
  EXPECT_EQ(r.exit_code, 0) << "msibuild " << (args.empty() ? "" : args.back()) << ": " << r.err << r.out;
}

void Sql(const std::string& db, const std::vector<std::string>& statements) {
  for (const std::string& q : statements) MsiBuild(db, {"-q", q});
}

void ImportBinary(const std::string& db, const std::vector<std::pair<std::string, std::string>>& rows) {
  TempDir idt;
  std::filesystem::create_directory(idt.File("Binary"));
  std::string table = "Name\tData\ns72\tv0\nBinary\tName\n";
  for (const auto& [name, contents] : rows) {
    WriteText(idt.File("Binary/" + name + ".bin"), contents);
    table += name + "\t" + name + ".bin\n";
  }
  WriteText(idt.File("Binary.idt"), table);
  MsiBuild(db, {"-i", "Binary.idt"}, idt.path());
}

std::string BuildBase(const TempDir& dir) {
  const std::string base = dir.File("base.msi");
  CopyFile(BuiltFixture("minimal.msi"), base);
  std::string columns, names;
  for (int i = 2; i <= 20; ++i) {
    const std::string type = i == 5 ? "SHORT" : i == 12 ? "LONG" : "CHAR(40)";
    columns += ", `C" + std::to_string(i) + "` " + type;
    names += ", `C" + std::to_string(i) + "`";
  }
  std::vector<std::string> sql = {"CREATE TABLE `Wide` (`K` CHAR(20) NOT NULL" + columns + " PRIMARY KEY `K`)"};
  for (int r = 1; r <= 3; ++r) {
    std::string values = "'r" + std::to_string(r) + "'";
    for (int i = 2; i <= 20; ++i) {
      if (i == 5) values += ", " + std::to_string(i * r);
      else if (i == 12) values += ", " + std::to_string(200000 + i * r);
      else values += ", 'r" + std::to_string(r) + "-c" + std::to_string(i) + "'";
    }
    sql.push_back("INSERT INTO `Wide` (`K`" + names + ") VALUES (" + values + ")");
  }
  for (const char* t : {"Drop", "Grow"}) {
    const std::string k = std::string(1, t[0]) + "K", v = std::string(1, t[0]) + "V";
    sql.push_back(std::string("CREATE TABLE `") + t + "` (`" + k + "` CHAR(20) NOT NULL, `" + v + "` CHAR(40) PRIMARY KEY `" + k + "`)");
    sql.push_back(std::string("INSERT INTO `") + t + "` (`" + k + "`, `" + v + "`) VALUES ('" + (char)std::tolower(t[0]) + "1', 'one')");
    sql.push_back(std::string("INSERT INTO `") + t + "` (`" + k + "`, `" + v + "`) VALUES ('" + (char)std::tolower(t[0]) + "2', 'two')");
  }
  Sql(base, sql);
  ImportBinary(base, {{"b1", "eighteen bytes!!!\n"}, {"b2", std::string(5000, 'q')}});
  return base;
}

std::unique_ptr<engine::Database> OpenDb(const std::string& path) {
  auto db = engine::Database::Open(path, engine::OpenMode::kReadOnly);
  EXPECT_TRUE(db.ok()) << path << ": " << db.code();
  return db.ok() ? std::move(*db) : nullptr;
}

std::string ApplyAndDiff(const std::string& base, const std::string& transform, const std::string& expected,
                         const std::vector<std::string>& ignore) {
  const std::string out = transform + ".applied.msi";
  CommandResult applied = RunOracle({"apply", base, transform, out});
  if (applied.exit_code != 0) return "apply failed: " + applied.out + applied.err;
  CommandResult diff = Run({OraclePath(), "diff", out, expected});
  if (diff.exit_code == 0) return "";
  if (diff.exit_code != 1) return "diff failed: " + diff.out + diff.err;
  std::istringstream lines(diff.out);
  std::string line, rest;
  while (std::getline(lines, line)) {
    if (line.rfind("A: ", 0) == 0 || line.rfind("B: ", 0) == 0) continue;
    bool skip = false;
    for (const std::string& prefix : ignore) skip = skip || line.rfind(prefix, 0) == 0;
    if (!skip) rest += line + "\n";
  }
  return rest;
}

}  // namespace mkx::test
