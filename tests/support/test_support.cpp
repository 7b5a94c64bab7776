#include "support/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace mkx::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mkx-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const std::string& path) {
  auto bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void CopyFile(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

namespace {
std::string Drain(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}
}  // namespace

CommandResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& cwd) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  // The given variables replace inherited ones of the same name (getenv takes the first).
  std::vector<std::string> envs(env);
  auto overridden = [&env](std::string_view inherited) {
    return std::any_of(env.begin(), env.end(), [inherited](std::string_view e) {
      const size_t equals = e.find('=');
      return equals != std::string_view::npos && inherited.starts_with(e.substr(0, equals + 1));
    });
  };
  for (char** e = environ; *e; ++e) {
    if (!overridden(*e)) envs.emplace_back(*e);
  }
  std::vector<char*> envp, args;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]); close(out_pipe[1]); close(err_pipe[0]); close(err_pipe[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  CommandResult result;
  std::thread err_reader([&] { result.err = Drain(err_pipe[0]); });
  result.out = Drain(out_pipe[0]);
  err_reader.join();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.exit_code = -WTERMSIG(status);
  return result;
}

std::string SharedDir() { return MKX_SHARED_DIR; }
std::string RealFixture(const std::string& name) { return SharedDir() + "/fixtures/real/" + name; }
std::string BuiltFixture(const std::string& name) { return std::string(MKX_FIXTURE_DIR) + "/" + name; }

const char kTwinNamePatch[] =
    "import sys, olefile\n"
    "f = olefile.OleFileIO(sys.argv[1], write_mode=True)\n"
    "for e in f.listdir():\n"
    "    d = f.openstream(e).read()\n"
    "    if b'MYPROP' in d and b'myprop' in d: f.write_stream(e, d.replace(b'myprop', b'MYPROP'))\n"
    "f.close()\n";

std::string OraclePath() { return SharedDir() + "/tools/msi-oracle"; }

CommandResult RunOracle(const std::vector<std::string>& args) {
  std::vector<std::string> argv{OraclePath()};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult result = Run(argv);
  if (result.exit_code != 0 && (result.out + result.err).find("wine client error") != std::string::npos) {
    result = Run(argv);
  }
  return result;
}
std::string ToolPath() { return MKX_TOOL_PATH; }

std::vector<std::string> AllFixtureDatabases() {
  std::vector<std::string> out;
  for (const char* name : {"putty-0.68-installer.msi", "nunit-2.5.2.msi", "msi_with_external_cab.msi"}) {
    out.push_back(RealFixture(name));
  }
  for (const char* name : {"minimal.msi", "with-files.msi", "many-strings.msi", "cp1252.msi",
                           "cp65001.msi", "cp932.msi"}) {
    out.push_back(BuiltFixture(name));
  }
  return out;
}

bool HaveWine() { return access("/usr/bin/wine", X_OK) == 0; }

}  // namespace mkx::test
