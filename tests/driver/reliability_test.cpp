// Hostile conditions on the real binary: termination signals mid-run, a full disk or
// a file-size limit at each writing stage, the source database, which must never
// be written (proved by tracing every file call the process makes on it), and a
// temporary directory or database that is not what the run expects.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace mkx::driver {
namespace {

using test::FileExists;
using test::TempDir;

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

off_t SizeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

/// A running program with TMPDIR set; its standard output and error go to a pipe (not
/// a file, which a file-size limit on the program would cut short).
struct Child {
  pid_t pid = -1;
  int output = -1;

  Child(const std::vector<std::string>& argv, const std::string& tmpdir, bool traced = false) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::setenv("TMPDIR", tmpdir.c_str(), 1);
      if (traced) {
        // A sanitized build's leak checker cannot run under a tracer; the untraced
        // runs of the same cases keep it.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan ? asan : "") + ":detect_leaks=0";
        ::setenv("ASAN_OPTIONS", options.c_str(), 1);
      }
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    output = fds[0];
  }

  /// Reads the output to its end, then returns the exit status, or minus the signal
  /// that ended the process.
  int Finish(std::string* out = nullptr) {
    char buffer[65536];
    std::string text;
    for (ssize_t n; (n = ::read(output, buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    ::close(output);
    if (out) *out = text;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
  }

  /// The process state letter from /proc (R running, S sleeping, D disk wait, ...).
  char State() const {
    const std::string stat = test::ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
  }
};

/// The last lines of a long output, for failure messages.
std::string Tail(const std::string& text) { return text.size() > 600 ? text.substr(text.size() - 600) : text; }

/// One scratch layout: the source database, the property file, a private TMPDIR and
/// a directory for the transform.
struct Layout {
  TempDir root;
  std::string source = root.File("source.msi");
  std::string properties = root.File("props.txt");
  std::string tmp = root.File("tmp");
  std::string out = root.File("out");
  std::string transform = out + "/result.mst";
  Layout(const std::string& database = test::BuiltFixture("with-files.msi")) {
    ::mkdir(tmp.c_str(), 0700);
    ::mkdir(out.c_str(), 0700);
    test::CopyFile(database, source);
  }
  std::vector<std::string> Tool() const {
    return {test::ToolPath(), "-t", transform, "-p", properties, source};
  }
};

/// Property lines PROP0=value ... for `lines` properties.
std::string PropertyLines(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "PROP" + std::to_string(i) + "=value\n";
  return text;
}

/// A failed run left nothing behind, and the transform from before (written as
/// "previous transform") is as it was.
void ExpectPreviousTransformKept(const Layout& l) {
  EXPECT_TRUE(Entries(l.tmp).empty()) << "the working copy is deleted";
  EXPECT_EQ(Entries(l.out), std::vector<std::string>{"result.mst"}) << "no temporary file beside it";
  EXPECT_EQ(test::ReadText(l.transform), "previous transform");
}

/// A property value big enough that the working copy and the transform both grow by
/// far more than the database's own size.
std::string BigValue() { return std::string(120000, 'v'); }

TEST(InterruptionTest, EachSignalMidRunLeavesNothing) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1}) {
    for (bool existing_transform : {false, true}) {
      SCOPED_TRACE("signal " + std::to_string(sig) + (existing_transform ? " over an old transform" : ""));
      Layout l;
      const auto before = test::ReadBytes(l.source);
      if (existing_transform) test::WriteText(l.transform, "an older transform");
      // The property file is a pipe: the run stops inside the property loop, after
      // the working copy was made and opened, until the test writes more.
      ASSERT_EQ(::mkfifo(l.properties.c_str(), 0600), 0);
      Child child(l.Tool(), l.tmp);
      const int fifo = ::open(l.properties.c_str(), O_WRONLY);
      ASSERT_GE(fifo, 0);
      const std::string first = "FIRSTPROPERTY=one\n";
      ASSERT_EQ(::write(fifo, first.data(), first.size()), static_cast<ssize_t>(first.size()));
      // Mid-run: the working copy is complete and the tool sleeps in the pipe read.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      auto ready = [&] {
        const auto names = Entries(l.tmp);
        return names.size() == 1 && SizeOf(l.tmp + "/" + names[0]) == SizeOf(l.source) && child.State() == 'S';
      };
      while (!ready() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ASSERT_TRUE(ready()) << "the run did not reach the property loop";
      ::kill(child.pid, sig);
      std::string out;
      EXPECT_EQ(child.Finish(&out), -sig) << out;
      ::close(fifo);
      EXPECT_TRUE(Entries(l.tmp).empty());
      if (existing_transform) {
        EXPECT_EQ(test::ReadText(l.transform), "an older transform");
        EXPECT_EQ(Entries(l.out).size(), 1u);
      } else {
        EXPECT_TRUE(Entries(l.out).empty());
      }
      EXPECT_EQ(test::ReadBytes(l.source), before);
    }
  }
}

// A scratch tmpfs of a fixed size, unmounted at the end; skips the test where mounting
// is not permitted.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& dir, size_t bytes, unsigned long flags = 0) : dir_(dir) {
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount(dir_.c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

struct ResourceCase {
  const char* label;
  long file_size_limit;      // RLIMIT_FSIZE in bytes past the source size; -1: none
  bool small_transform_dir;  // the transform directory is a tmpfs too small for it
  bool sealed;               // and takes no new file: the transform is written in place
  const char* error_line;    // the line that says what failed
};

TEST(ResourceFailureTest, FullDiskAtEachWritingStage) {
  const ResourceCase cases[] = {
      // The copy stops half-way: the limit is below the database's own size.
      {"Copy", -8000, false, false, "Error copying the MSI: File too large"},
      // The copy fits, the commit of a 120 kB value does not.
      {"Commit", 1024, false, false, "Error in MsiDatabaseCommit, Err#"},
      // The commit is done; the transform cannot be written in its directory.
      {"Transform", -1, true, false, "Error in generate MST for the property set, Err#"},
      {"Transform in place", -1, true, true, "Error in generate MST for the property set, Err#39"},
  };
  for (const ResourceCase& c : cases) {
    SCOPED_TRACE(c.label);
    Layout l;
    const auto before = test::ReadBytes(l.source);
    test::WriteText(l.properties, "PROPERTY=" + BigValue() + "\n");
    std::unique_ptr<SmallTmpfs> tmpfs;
    if (c.small_transform_dir) {
      tmpfs = std::make_unique<SmallTmpfs>(l.out, 64 * 1024);
      if (!tmpfs->mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
      ::chmod(l.out.c_str(), 0700);
    }
    std::vector<std::string> argv = l.Tool();
    if (c.file_size_limit != -1) {
      const long limit = SizeOf(l.source) + c.file_size_limit;
      argv.insert(argv.begin(), {"prlimit", "--fsize=" + std::to_string(limit), "--"});
    }
    // A transform from an earlier run is at the path, and must stay as it was.
    test::WriteText(l.transform, "previous transform");
    if (c.sealed && test::Run({"chattr", "+i", l.out}).exit_code != 0) {
      GTEST_SKIP() << "a folder cannot be made immutable here";
    }
    std::string out;
    const int status = Child(argv, l.tmp).Finish(&out);
    if (c.sealed) {
      ASSERT_EQ(test::Run({"chattr", "-i", l.out}).exit_code, 0);
    }
    EXPECT_EQ(status, 1) << Tail(out);
    EXPECT_NE(out.find(c.error_line), std::string::npos) << Tail(out);
    EXPECT_EQ(out.find(".result.mst."), std::string::npos) << "names the private file: " << Tail(out);
    ExpectPreviousTransformKept(l);
    EXPECT_EQ(test::ReadBytes(l.source), before);
  }
}

// Memory that runs out (an address-space limit: allocations fail) ends the run with
// an error line and status 1, whether the tool or the installer ran out, and leaves
// nothing behind.
TEST(ResourceFailureTest, MemoryRunningOut) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer needs far more address space than the limits here";
#endif
  const struct {
    const char* label;
    size_t lines, value_size;
    long limit_mib;
    const char* error_line;
    bool in_tool;  // the tool's own out-of-memory line, rather than an installer step's
  } cases[] = {
      {"reading a line", 1, 64 << 20, 100, "Error: not enough memory for this run, Err#8\n", true},
      // Where the installer runs out (the commit or the generation) depends on the heap.
      {"in the installer", 100000, 30, 24, ", Err#8\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Layout l;
    {
      std::string text;
      for (size_t i = 0; i < c.lines; ++i) {
        text += "P" + std::to_string(i) + "=" + std::string(c.value_size, 'v') + "\n";
      }
      test::WriteText(l.properties, text);
    }
    test::WriteText(l.transform, "previous transform");
    std::vector<std::string> argv = l.Tool();
    argv.insert(argv.begin(), {"prlimit", "--as=" + std::to_string(c.limit_mib << 20), "--"});
    std::string out;
    EXPECT_EQ(Child(argv, l.tmp).Finish(&out), 1) << Tail(out);
    EXPECT_NE(Tail(out).find(c.error_line), std::string::npos) << Tail(out);
    EXPECT_EQ(out.find("Error: not enough memory") != std::string::npos, c.in_tool) << Tail(out);
    ExpectPreviousTransformKept(l);
  }
}

// Every file call the process makes that names the source, from a strace log.
std::vector<std::string> CallsOn(const std::string& log_path, const std::string& source) {
  std::vector<std::string> calls;
  std::istringstream log(test::ReadText(log_path));
  for (std::string line; std::getline(log, line);) {
    if (line.find("\"" + source + "\"") != std::string::npos) calls.push_back(line);
  }
  return calls;
}

// Whether a traced call can change the file: an open for writing, or any call other
// than the read-only look-ups. A strace line reads "<pid> <call>(<arguments>) = ...".
bool CanWrite(const std::string& line) {
  // "<pid> <call>(...": strace pads short process numbers, so skip every space.
  const size_t space = line.find(' ');
  const size_t start = line.find_first_not_of(' ', space);
  const size_t paren = line.find('(');
  if (space == std::string::npos || start == std::string::npos || paren == std::string::npos || paren < start) {
    return true;
  }
  const std::string call = line.substr(start, paren - start);
  if (call == "open" || call == "openat" || call == "openat2" || call == "creat") {
    if (line.find("O_RDONLY") == std::string::npos) return true;
    for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}) {
      if (line.find(flag) != std::string::npos) return true;
    }
    return false;
  }
  for (const char* look_up : {"stat", "lstat", "newfstatat", "fstatat64", "statx", "access", "faccessat",
                              "faccessat2", "readlink", "readlinkat", "execve"}) {
    if (call == look_up) return false;
  }
  return true;
}

TEST(SourceUntouchedTest, OpenedOnlyForReadingInEveryOutcome) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  struct Case {
    const char* label;
    std::string properties;  // contents of the property file
    long file_size_limit;    // bytes past the source size; 0: none
    bool damaged_source;
    bool transform_dir_missing;
    int status;
  } cases[] = {
      {"Success", "PRODUCTNAME=Changed\nNEWPROPERTY=1\n", 0, false, false, 0},
      {"NothingChanged", "no assignment here\n", 0, false, false, 1},
      {"CopyFails", "A=1\n", -8000, false, false, 1},
      {"CommitFails", "A=" + BigValue() + "\n", 1024, false, false, 1},
      {"TransformCannotBeCreated", "A=1\n", 0, false, true, 1},
      {"DamagedSource", "A=1\n", 0, true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Layout l;
    if (c.damaged_source) {
      auto bytes = test::ReadBytes(l.source);
      for (size_t i = 512; i < bytes.size(); i += 97) bytes[i] ^= 0x5A;
      test::WriteBytes(l.source, bytes);
    }
    const auto before = test::ReadBytes(l.source);
    test::WriteText(l.properties, c.properties);
    std::vector<std::string> argv = l.Tool();
    if (c.transform_dir_missing) argv[2] = l.root.File("missing/result.mst");
    if (c.file_size_limit != 0) {
      argv.insert(argv.begin(),
                  {"prlimit", "--fsize=" + std::to_string(SizeOf(l.source) + c.file_size_limit), "--"});
    }
    const std::string trace = l.root.File("trace.txt");
    argv.insert(argv.begin(), {"strace", "-f", "-qq", "-e", "trace=%file", "-o", trace});
    std::string out;
    const int status = Child(argv, l.tmp, /*traced=*/true).Finish(&out);
    EXPECT_EQ(status, c.status) << Tail(out);
    const auto calls = CallsOn(trace, l.source);
    EXPECT_FALSE(calls.empty()) << "the trace saw the source opened";
    for (const auto& call : calls) EXPECT_FALSE(CanWrite(call)) << call;
    EXPECT_EQ(test::ReadBytes(l.source), before);
    EXPECT_TRUE(Entries(l.tmp).empty());
  }
}

/// The transform a run setting NEWPROP=published on its own writes (empty if it failed).
std::vector<uint8_t> PublishedAlone() {
  Layout l;
  test::WriteText(l.properties, "NEWPROP=published\n");
  if (Child(l.Tool(), l.tmp).Finish() != 0) return {};
  return test::ReadBytes(l.transform);
}

// What the tool does with each kind of thing at -t: the complete transform reaches
// the file a path names, and nothing else there changes.
TEST(PublishTest, EachKindOfTarget) {
  const auto expected = PublishedAlone();
  ASSERT_FALSE(expected.empty());

  // kSealedFolder: a writable file in a folder that takes no new file (immutable),
  // longer than the transform: written in place, and cut to the transform's size.
  // kDescriptorPipe: /dev/fd/3, a pipe (the link text "pipe:[N]" names no file).
  // kStickyFolder: root's writable file in a sticky folder, written by nobody with a
  // umask that takes the owner's write bit: it may be written but not replaced.
  enum Kind {
    kFile0600, kReadOnly, kLink, kDanglingLink, kFifo, kDevice, kSealedFolder, kDescriptorPipe, kStickyFolder
  };
  const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                              "sh", "-c"};
  std::string skipped;
  for (Kind kind : {kFile0600, kReadOnly, kLink, kDanglingLink, kFifo, kDevice, kSealedFolder, kDescriptorPipe,
                    kStickyFolder}) {
    SCOPED_TRACE(kind);
    Layout l;
    test::WriteText(l.properties, "NEWPROP=published\n");
    std::vector<std::string> argv = l.Tool();
    const std::string pointee = l.out + "/pointee.mst";
    std::thread reader;
    std::vector<uint8_t> from_fifo;
    switch (kind) {
      case kFile0600:
      case kReadOnly:
        test::WriteText(l.transform, "previous");
        ::chmod(l.transform.c_str(), kind == kFile0600 ? 0600 : 0444);
        break;
      case kLink:
        test::WriteText(pointee, "previous");
        [[fallthrough]];
      case kDanglingLink:
        ASSERT_EQ(::symlink("pointee.mst", l.transform.c_str()), 0);
        break;
      case kFifo:
        ASSERT_EQ(::mkfifo(l.transform.c_str(), 0600), 0);
        reader = std::thread([&] { from_fifo = test::ReadBytes(l.transform); });
        break;
      case kDevice:
        if (::mknod(l.transform.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
          skipped += "making a device node is not permitted here; ";
          continue;
        }
        break;
      case kSealedFolder:
        test::WriteText(l.transform, std::string(200000, 'x'));
        if (test::Run({"chattr", "+i", l.out}).exit_code != 0) {
          skipped += "a folder cannot be made immutable here; ";
          continue;
        }
        break;
      case kDescriptorPipe:
        argv = {"bash", "-c", "set -o pipefail; \"$0\" -t /dev/fd/3 -p \"$1\" \"$2\" 3>&1 >/dev/null | cat > \"$3\"",
                test::ToolPath(), l.properties, l.source, l.transform};
        break;
      case kStickyFolder: {
        test::WriteText(l.transform, "previous");
        for (const auto& [path, mode] : std::vector<std::pair<std::string, mode_t>>{
                 {l.root.path(), 0755}, {l.out, 01777}, {l.tmp, 01777}, {l.transform, 0666}, {l.source, 0644},
                 {l.properties, 0644}}) {
          ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
        }
        std::vector<std::string> reach = as_nobody;
        reach.insert(reach.end(), {"test -r \"$0\" && test -w \"$1\" && test -x \"$2\"", l.source, l.tmp,
                                   test::ToolPath()});
        if (::geteuid() != 0 || test::Run(reach).exit_code != 0) {
          skipped += "nobody cannot run the tool on these files here; ";
          continue;
        }
        argv = as_nobody;
        argv.insert(argv.end(), {"umask 0277 && exec \"$0\" \"$@\"", test::ToolPath(), "-t", l.transform, "-p",
                                 l.properties, l.source});
        break;
      }
    }
    std::string out;
    const int status = Child(argv, l.tmp).Finish(&out);
    if (reader.joinable()) reader.join();
    if (kind == kSealedFolder) {
      ASSERT_EQ(test::Run({"chattr", "-i", l.out}).exit_code, 0);
    }
    struct stat st{};
    ASSERT_EQ(::lstat(l.transform.c_str(), &st), 0);
    switch (kind) {
      case kFile0600:
        EXPECT_EQ(status, 0) << Tail(out);
        EXPECT_EQ(test::ReadBytes(l.transform), expected);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        break;
      case kReadOnly:
        EXPECT_EQ(status, 1) << Tail(out);
        EXPECT_NE(out.find("Error in generate MST for the property set, Err#5\nErr#5 "), std::string::npos) << out;
        EXPECT_EQ(test::ReadText(l.transform), "previous");
        break;
      case kLink:
      case kDanglingLink: {
        EXPECT_EQ(status, 0) << Tail(out);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
        EXPECT_EQ(test::ReadBytes(pointee), expected);
        if (kind == kDanglingLink) {  // a new file: the mode any new file gets
          const mode_t mask = ::umask(0);
          ::umask(mask);
          struct stat created{};
          ASSERT_EQ(::stat(pointee.c_str(), &created), 0);
          EXPECT_EQ(created.st_mode & 07777, 0666u & ~mask);
        }
        break;
      }
      case kFifo:
        EXPECT_EQ(status, 0) << Tail(out);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(from_fifo, expected);
        break;
      case kDevice:
        EXPECT_EQ(status, 0) << Tail(out);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device is written to, never replaced";
        break;
      case kSealedFolder:
      case kStickyFolder:
      case kDescriptorPipe:
        EXPECT_EQ(status, 0) << Tail(out);
        EXPECT_TRUE(test::ReadBytes(l.transform) == expected);
        break;
    }
    EXPECT_TRUE(Entries(l.tmp).empty());
    for (const std::string& name : Entries(l.out)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A successful run makes the transform durable with one data sync and one directory
// sync; the working copy is never synced.
TEST(PublishTest, OneRunSyncsTwice) {
  Layout l;
  test::WriteText(l.properties, "NEWPROP=synced\n");
  const std::string trace = l.root.File("trace.txt");
  std::vector<std::string> argv = l.Tool();
  argv.insert(argv.begin(), {"strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,sync_file_range,syncfs,sync,msync",
                             "-o", trace});
  std::string out;
  ASSERT_EQ(Child(argv, l.tmp, /*traced=*/true).Finish(&out), 0) << Tail(out);
  std::istringstream log(test::ReadText(trace));
  int syncs = 0;
  for (std::string line; std::getline(log, line);) syncs += line.find("sync") != std::string::npos;
  EXPECT_GE(syncs, 1);
  EXPECT_LE(syncs, 2) << test::ReadText(trace);
}

// Standard output closed by its reader (as by `| head -c 10`): the run ends by SIGPIPE
// and leaves neither its working copy nor a transform.
// Output closed mid-run (`| head -c 10`), or before the run wrote anything (`| true`;
// the messages of a short run are all written at once, before the transform would be
// published): the run ends by SIGPIPE, and a transform already at the path stays.
TEST(InterruptionTest, ClosedOutputPipeLeavesNothing) {
  for (const int lines : {20000, 1}) {
    SCOPED_TRACE(lines);
    Layout l;
    test::WriteText(l.properties, PropertyLines(lines));
    test::WriteText(l.transform, "previous transform");
    Child child(l.Tool(), l.tmp);
    char head[10];
    if (lines > 1) {
      ASSERT_EQ(::read(child.output, head, sizeof head), static_cast<ssize_t>(sizeof head));
    }
    ::close(child.output);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    ExpectPreviousTransformKept(l);
  }
}

// Standard output that cannot be written (redirected to a full disk): whether the
// messages fail mid-run or at the final flush, the run reports it on standard error,
// exits 1 and publishes nothing.
TEST(ResourceFailureTest, UnwritableOutputPublishesNothing) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  for (const int lines : {20000, 1}) {
    SCOPED_TRACE(lines);
    Layout l;
    test::WriteText(l.properties, PropertyLines(lines));
    test::WriteText(l.transform, "previous transform");
    std::vector<std::string> argv = l.Tool();
    argv.insert(argv.begin(), {"sh", "-c", "exec \"$@\" >/dev/full", "sh"});
    std::string err;
    EXPECT_EQ(Child(argv, l.tmp).Finish(&err), 1) << Tail(err);
    EXPECT_EQ(err, "Error: standard output could not be written, so the transform was not published, Err#29\n");
    ExpectPreviousTransformKept(l);
  }
}

// The source rewritten in place while the run reads its property file: the transform
// would be of neither version, so it is not published.
TEST(SourceUntouchedTest, SourceRewrittenMidRunPublishesNothing) {
  Layout l;
  ASSERT_EQ(::mkfifo(l.properties.c_str(), 0600), 0);
  Child child(l.Tool(), l.tmp);
  const int fifo = ::open(l.properties.c_str(), O_WRONLY);  // the run opens it too, then copies
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(::write(fifo, "A=1\n", 4), 4);
  // Once the working copy is whole and the run sleeps, it is waiting for more lines.
  const off_t size = SizeOf(l.source);
  for (int i = 0; i < 1000; ++i) {
    const auto copies = Entries(l.tmp);
    if (copies.size() == 1 && SizeOf(l.tmp + "/" + copies[0]) == size && child.State() == 'S') break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto bytes = test::ReadBytes(l.source);
  bytes.back() ^= 1;
  test::WriteBytes(l.source, bytes);  // rewritten in place: same file, new contents
  ::close(fifo);
  std::string out;
  EXPECT_EQ(child.Finish(&out), 1) << out;
  EXPECT_NE(out.find("Err#1624 The transform was not published: the MSI " + l.source +
                     " changed while it was being read."),
            std::string::npos)
      << out;
  EXPECT_TRUE(Entries(l.out).empty());
  EXPECT_TRUE(Entries(l.tmp).empty());
}

// Whatever stands in the way of the working copy, or is not a database file: the run
// ends at once with the line that names it and the system's reason, and leaves nothing.
TEST(WorkingCopyTest, UnusableDatabaseOrTemporaryDirectory) {
  enum Setup { kNone, kFifoDatabase, kDeviceDatabase, kTmpdirMissing, kTmpdirFile, kTmpdirReadOnly, kTmpdirTooLong };
  const struct {
    Setup setup;
    std::vector<std::string> lines;  // "{db}" stands for the database, "{tmp}" for TMPDIR
  } cases[] = {
      {kFifoDatabase, {"Error in opening the MSI {db}, Err#110"}},
      {kDeviceDatabase, {"Error in opening the MSI {db}, Err#110"}},
      {kTmpdirMissing, {"Error copying the MSI to {tmp}/", "Error copying the MSI: No such file or directory"}},
      {kTmpdirFile, {"Error copying the MSI to {tmp}/", "Error copying the MSI: Not a directory"}},
      {kTmpdirReadOnly, {"Error copying the MSI to {tmp}/", "Error copying the MSI: Read-only file system"}},
      {kTmpdirTooLong, {"Error copying the MSI to {tmp}/", "Error copying the MSI: File name too long"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup);
    Layout l;
    test::WriteText(l.properties, "A=1\n");
    std::string database = l.source, tmpdir = l.tmp;
    std::unique_ptr<SmallTmpfs> read_only;
    switch (c.setup) {
      case kFifoDatabase:
        database = l.root.File("fifo.msi");
        ASSERT_EQ(::mkfifo(database.c_str(), 0600), 0);
        break;
      case kDeviceDatabase: database = "/dev/zero"; break;
      case kTmpdirMissing: tmpdir = l.root.File("missing"); break;
      case kTmpdirFile:
        tmpdir = l.root.File("file");
        test::WriteText(tmpdir, "");
        break;
      case kTmpdirReadOnly:
        // A directory's mode does not stop root: a read-only file system does.
        read_only = std::make_unique<SmallTmpfs>(l.tmp, 1 << 20, MS_RDONLY);
        if (!read_only->mounted()) {
          GTEST_SKIP() << "mounting a tmpfs is not permitted here";
        }
        break;
      case kTmpdirTooLong: tmpdir = l.root.File(std::string(300, 'd')); break;
      case kNone: break;
    }
    std::vector<std::string> argv = l.Tool();
    argv.back() = database;
    // A run that blocks is killed (status 124) instead of hanging the test.
    argv.insert(argv.begin(), {"timeout", "20"});
    std::string out;
    EXPECT_EQ(Child(argv, tmpdir).Finish(&out), 1) << out;
    for (std::string line : c.lines) {
      if (const size_t at = line.find("{db}"); at != std::string::npos) line.replace(at, 4, database);
      if (const size_t at = line.find("{tmp}"); at != std::string::npos) line.replace(at, 5, tmpdir);
      EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
    }
    EXPECT_TRUE(Entries(l.tmp).empty());
    EXPECT_TRUE(Entries(l.out).empty());
  }
}

// A link planted at the working copy's name while the run is under way (a temporary
// directory without the sticky bit lets anyone rename and create there) never leads
// the run to the link's target: planted before the copy is opened again, the run
// refuses it; planted later, the run keeps working on the file it created. Either
// way the link, not its target, is deleted at the end.
TEST(WorkingCopyTest, LinkPlantedAtItsNameIsNeverFollowed) {
  enum Moment { kWhileCopying, kInPropertyLoop };
  for (Moment moment : {kWhileCopying, kInPropertyLoop}) {
    SCOPED_TRACE(moment);
    Layout l;
    ASSERT_EQ(::chmod(l.tmp.c_str(), 0777), 0);
    // A database, so that a run misled to it could go on and commit there.
    const std::string victim = l.root.File("victim.msi");
    test::CopyFile(l.source, victim);
    const auto victim_bytes = test::ReadBytes(victim);
    std::vector<std::string> argv = l.Tool();
    int fifo = -1;
    off_t size_when_paused = SizeOf(l.source);
    if (moment == kWhileCopying) {
      // The working copy is made, then the run waits two seconds in its open of the
      // source, before copying.
      if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
      test::WriteText(l.properties, "A=1\n");
      argv.insert(argv.begin(), {"strace", "-f", "-qq", "-o", "/dev/null", "-P", l.source, "-e", "trace=openat",
                                 "-e", "inject=openat:delay_enter=2000000:when=1"});
      size_when_paused = 0;
    } else {
      // The run sleeps in the property loop, its working copy complete and open.
      ASSERT_EQ(::mkfifo(l.properties.c_str(), 0600), 0);
    }
    Child child(argv, l.tmp, /*traced=*/moment == kWhileCopying);
    if (moment == kInPropertyLoop) {
      fifo = ::open(l.properties.c_str(), O_WRONLY);
      ASSERT_GE(fifo, 0);
      ASSERT_EQ(::write(fifo, "A=1\n", 4), 4);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto paused = [&] {
      const auto names = Entries(l.tmp);
      return names.size() == 1 && SizeOf(l.tmp + "/" + names[0]) == size_when_paused &&
             (moment == kWhileCopying || child.State() == 'S');
    };
    while (!paused() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(paused()) << "the run did not make its working copy";
    const std::string working_copy = l.tmp + "/" + Entries(l.tmp)[0];
    ASSERT_EQ(::unlink(working_copy.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), working_copy.c_str()), 0);
    if (fifo >= 0) ::close(fifo);
    std::string out;
    const int status = child.Finish(&out);
    if (moment == kWhileCopying) {
      EXPECT_EQ(status, 1) << Tail(out);
      EXPECT_NE(out.find("Error in opening the working copy " + working_copy + ", Err#110\n"), std::string::npos)
          << Tail(out);
      EXPECT_FALSE(FileExists(l.transform));
    } else {
      EXPECT_EQ(status, 0) << Tail(out);
      EXPECT_TRUE(FileExists(l.transform));
    }
    EXPECT_EQ(test::ReadBytes(victim), victim_bytes);
    EXPECT_TRUE(Entries(l.tmp).empty());
  }
}

// Standard input and output closed by the caller: the files the run opens do not take
// their numbers, so the echo of a long property file is not written into the working
// copy, and the run succeeds.
TEST(WorkingCopyTest, ClosedStandardStreamsTakeNoFile) {
  Layout l;
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "PROP" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
  test::WriteText(l.properties, text);
  std::vector<std::string> argv = l.Tool();
  argv.insert(argv.begin(), {"sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"});
  std::string out;
  EXPECT_EQ(Child(argv, l.tmp).Finish(&out), 0) << Tail(out);
  EXPECT_GT(SizeOf(l.transform), 0);
  EXPECT_TRUE(Entries(l.tmp).empty());
}

// The transform's path may be the one free name a working copy could take: the copy
// goes elsewhere, so deleting it at the end does not delete the published transform.
TEST(WorkingCopyTest, NeverTakesTheTransformPath) {
  Layout l;
  test::WriteText(l.properties, "A=1\n");
  for (unsigned n = 1; n <= 0xFFFF; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "msi%X.tmp", n);
    if (n != 0xABCD) test::WriteText(l.tmp + "/" + name, "");
  }
  const std::string transform = l.tmp + "/msiABCD.tmp";
  std::vector<std::string> argv = l.Tool();
  argv[2] = transform;
  std::string out;
  EXPECT_EQ(Child(argv, l.tmp).Finish(&out), 0) << Tail(out);
  EXPECT_GT(SizeOf(transform), 0);
  EXPECT_EQ(Entries(l.tmp).size(), 0xFFFFu);
}

// A termination signal at each step of publishing the transform (strace delivers it
// as the step's system call returns): before the rename the previous transform stays
// byte for byte; after it the new one is complete; no temporary file is left.
TEST(PublishTest, SignalAtEachStepOfPublishing) {
  const auto expected = PublishedAlone();
  ASSERT_FALSE(expected.empty());
  struct Step {
    const char* label;
    const char* call;    // the system call traced
    const char* inject;  // strace's -e inject=
    bool published;      // the transform is in place when the signal arrives
    bool sealed = false; // the folder takes no new file: the transform is written in place
  };
  const Step steps[] = {
      {"writing", "ftruncate", "ftruncate:signal=SIGTERM:when=2", false},  // the first sizes the working copy
      {"syncing", "fdatasync", "fdatasync:signal=SIGTERM:when=1", false},
      {"renaming", "rename", "rename:error=EINTR:signal=SIGTERM:when=1", false},  // the rename not done
      {"renamed", "rename", "rename:signal=SIGTERM:when=1", true},  // done as the signal arrives
      {"syncing the directory", "fsync", "fsync:signal=SIGTERM:when=1", true},
      // Held back until the file is whole, then ignored: never half old, half new.
      {"writing in place", "write", "write:signal=SIGTERM:when=1", true, true},
  };
  std::string skipped;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    Layout l;
    test::WriteText(l.properties, "NEWPROP=published\n");
    test::WriteText(l.transform, step.sealed ? std::string(200000, 'x') : "previous transform");
    if (step.sealed && test::Run({"chattr", "+i", l.out}).exit_code != 0) {
      skipped = "a folder cannot be made immutable here";
      continue;
    }
    std::vector<std::string> argv = l.Tool();
    argv.insert(argv.begin(), {"strace", "-f", "-qq", "-o", "/dev/null", "-e", std::string("trace=") + step.call,
                               "-e", std::string("inject=") + step.inject});
    // In place, only the writes to the transform count (not those to the console).
    if (step.sealed) argv.insert(argv.begin() + 5, {"-P", l.transform});
    std::string out;
    const int status = Child(argv, l.tmp, /*traced=*/true).Finish(&out);
    if (step.sealed) {
      ASSERT_EQ(test::Run({"chattr", "-i", l.out}).exit_code, 0);
    }
    if (step.published) {
      // In place, the transform is the run's result: the signal no longer ends it.
      EXPECT_EQ(status, 0) << Tail(out);
      EXPECT_TRUE(test::ReadBytes(l.transform) == expected) << "the new transform, complete";
    } else {
      EXPECT_TRUE(status == -SIGTERM || status == 128 + SIGTERM) << status << Tail(out);
      EXPECT_EQ(test::ReadText(l.transform), "previous transform");
    }
    EXPECT_EQ(Entries(l.out), std::vector<std::string>{"result.mst"});
    EXPECT_TRUE(Entries(l.tmp).empty());
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// Runs on different databases writing one path at once: the file left is always one
// run's complete transform, byte for byte what that run alone would have written.
TEST(PublishTest, ConcurrentRunsLeaveOneCompleteTransform) {
  const char* fixtures[] = {"with-files.msi", "minimal.msi", "cp1252.msi"};
  constexpr int kRuns = 9;
  TempDir root;
  const std::string tmp = root.File("tmp");
  ::mkdir(tmp.c_str(), 0700);
  std::vector<std::vector<std::string>> argvs;
  std::vector<std::vector<uint8_t>> alone;
  for (int i = 0; i < kRuns; ++i) {
    const std::string props = root.File("props" + std::to_string(i) + ".txt");
    test::WriteText(props, "NEWPROP=run " + std::to_string(i) + "\n");
    const std::string solo = root.File("solo" + std::to_string(i) + ".mst");
    const std::string db = test::BuiltFixture(fixtures[i % 3]);
    ASSERT_EQ(Child({test::ToolPath(), "-t", solo, "-p", props, db}, tmp).Finish(), 0);
    alone.push_back(test::ReadBytes(solo));
    argvs.push_back({test::ToolPath(), "-t", root.File("shared.mst"), "-p", props, db});
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<Child> children;
    children.reserve(kRuns);
    for (const auto& argv : argvs) children.emplace_back(argv, tmp);
    for (Child& child : children) EXPECT_EQ(child.Finish(), 0);
    const auto left = test::ReadBytes(root.File("shared.mst"));
    EXPECT_EQ(std::count(alone.begin(), alone.end(), left), 1) << "round " << round << ": " << left.size() << " bytes";
  }
  for (const std::string& name : Entries(root.path())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

}  // namespace
}  // namespace mkx::driver
