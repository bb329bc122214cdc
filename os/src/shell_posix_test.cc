#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "os/installer_file.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using base::test::ReadFileToString;
using posix::StartProgramFromDescriptor;

constexpr auto kExecutable = static_cast<fs::perms>(0755);
constexpr auto kReadable = static_cast<fs::perms>(0644);
constexpr auto kDeadline = std::chrono::seconds(20);
// A descriptor the tests hold open without close-on-exec; no started program may see it.
constexpr int kLeakCanary = 200;

void WriteFile(const fs::path& path, const std::string& content, fs::perms perms) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(path, perms);
}

// The smallest file that reads as a Windows image: a DOS header pointing at a PE signature.
std::string PeImage(const std::string& marker, const char* signature = "PE") {
  std::string image(0x200, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image.replace(0x40, 2, signature);
  image.replace(0x100, marker.size(), marker);
  return image;
}

// Polls, up to the deadline, for a file that a started program creates: the program is not ours
// to wait for.
bool WaitForFile(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return fs::exists(path);
}

// How a recorder script (ShellTest::Recorder) was started.
struct Record {
  std::string id, cwd, stdin_state, canary, parent, session, uid, foo;
  std::vector<std::string> arguments;
};

// Opens |file| and starts it, as an installer is started.
uintptr_t OpenAndStart(const std::wstring& file, const std::wstring& parameters) {
  return ShellExecute(InstallerFile::Open(file), parameters);
}

// Each test gets its own directory, a recording `wine` first on PATH and the canary descriptor;
// the environment is changed here, before any thread.
class ShellTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(dir_.path(), kExecutable);
    fs::create_directories(bin_);
    fs::create_directories(records_);
    fs::permissions(records_, fs::perms::all);
    // wine records its start and copies the image it was given.
    WriteFile(bin_ / "wine", Recorder("wine", "cat \"$1\" > '" + records_.string() + "/content'\n"),
              kExecutable);
    saved_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    ASSERT_EQ(setenv("PATH", (bin_.string() + ":" + saved_path_).c_str(), 1), 0);
    const int canary = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(dup2(canary, kLeakCanary), kLeakCanary);
    close(canary);
    // Our stdin is a pipe while the test runs, so that a program that inherited it would tell.
    saved_stdin_ = dup(STDIN_FILENO);
    int stdin_pipe[2];
    ASSERT_EQ(pipe2(stdin_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(dup2(stdin_pipe[0], STDIN_FILENO), STDIN_FILENO);
    close(stdin_pipe[0]);
    close(stdin_pipe[1]);
  }

  void TearDown() override {
    dup2(saved_stdin_, STDIN_FILENO);
    close(saved_stdin_);
    close(kLeakCanary);
    setenv("PATH", saved_path_.c_str(), 1);
    EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD)
        << "a started program was left as our child";
  }

  // A script that writes how it was started to <records>/record after running |before|, and
  // runs |after| once the record is complete.  NUL-separated fields, those of Record in order.
  std::string Recorder(const std::string& id, const std::string& before = "",
                       const std::string& after = "") const {
    static_assert(kLeakCanary == 200, "the script looks for descriptor 200");
    const std::string record = "'" + (records_ / "record").string();
    return R"sh(#!/bin/sh
field() { printf '%s\0' "$1"; }
stat_field() { n=$1; read -r s < /proc/$$/stat; set -- ${s##*") "}; eval "echo \"\${$n}\""; }
)sh" + before +
           "{\n  field '" + id + R"sh('
  field "$(pwd)"
  if [ /proc/$$/fd/0 -ef /dev/null ]; then field stdin-null; else field stdin-other; fi
  if [ -e /proc/$$/fd/200 ]; then field canary-open; else field canary-closed; fi
  field "$(stat_field 2)"
  field "$(stat_field 4)"
  field "$(id -u)"
  field "${FOO-unset}"
  for a in "$@"; do field "$a"; done
} > )sh" + record +
           ".tmp'\nmv " + record + ".tmp' " + record + "'\n" + after;
  }

  // The record of the next start; checks what every started program must pass: detached, on
  // /dev/null, without our descriptors.
  std::optional<Record> TakeRecord() const {
    const fs::path file = records_ / "record";
    if (!WaitForFile(file)) {
      return std::nullopt;
    }
    const std::string bytes = ReadFileToString(file.string());
    fs::remove(file);
    std::vector<std::string> fields;
    for (size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos;
         start = end + 1) {
      fields.push_back(bytes.substr(start, end - start));
    }
    if (fields.size() < 8) {
      return std::nullopt;
    }
    Record record{fields[0], fields[1], fields[2],
                  fields[3], fields[4], fields[5],
                  fields[6], fields[7], std::vector<std::string>(fields.begin() + 8, fields.end())};
    EXPECT_EQ(record.stdin_state, "stdin-null");
    EXPECT_EQ(record.canary, "canary-closed");
    EXPECT_NE(record.parent, std::to_string(getpid()));
    EXPECT_NE(record.session, std::to_string(getsid(0)));
    return record;
  }

  base::test::ScopedTempDir dir_;
  const fs::path bin_ = dir_.Child("bin");
  const fs::path records_ = dir_.Child("records");
  std::string saved_path_;
  int saved_stdin_ = -1;
};

TEST_F(ShellTest, StartsWindowsImagesThroughWineAndScriptsDirectly) {
  const fs::path image = dir_.Child("setup file.exe");
  const std::string image_bytes = PeImage("first installer");
  WriteFile(image, image_bytes, kReadable);  // Windows images need no execute permission
  const std::string script = dir_.Child("record.sh");
  WriteFile(script, Recorder("script"), kExecutable);
  const struct {
    std::wstring file;
    std::wstring parameters;
    std::string id;
    std::vector<std::string> arguments;
  } cases[] = {
      // wine reads the image through the opened copy, open in it as /proc/self/fd/N.
      {Utf8ToWide(image.string()),
       L"/S \"/D=C:\\Program Files\\x\" a\\\\\"b c\"",
       "wine",
       {"/proc/self/fd/", "/S", "/D=C:\\Program Files\\x", "a\\b c"}},
      {Utf8ToWide(script),
       L" one \"two three\" \"\" caf\u00e9",
       "script",
       {"one", "two three", "", "caf\xC3\xA9"}},
      {Utf8ToWide(script) + std::wstring(1, L'\0') + L"ignored",
       std::wstring(L"cut") + std::wstring(1, L'\0') + L" here",
       "script",
       {"cut"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_EQ(OpenAndStart(c.file, c.parameters), kShellStarted);
    std::optional<Record> record = TakeRecord();
    ASSERT_TRUE(record.has_value()) << "the program did not run";
    EXPECT_EQ(record->id, c.id);
    if (c.id == "wine" && record->arguments.at(0).starts_with(c.arguments[0])) {
      record->arguments[0] = c.arguments[0];
    }
    EXPECT_EQ(record->arguments, c.arguments);
    EXPECT_EQ(record->cwd, fs::current_path().string());
  }
  EXPECT_EQ(ReadFileToString(records_ / "content"), image_bytes) << "wine was not given the image";
}

TEST_F(ShellTest, DoesNotWaitForTheProgram) {
  const fs::path fifo = dir_.Child("release");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(dir_.Child("blocking.sh"),
            Recorder("blocking", "", "read line < '" + fifo.string() + "'\n"), kExecutable);
  ASSERT_EQ(OpenAndStart(Utf8ToWide(dir_.Child("blocking.sh")), L""), kShellStarted);
  ASSERT_TRUE(TakeRecord().has_value());
  // The program is still running, reading the FIFO: release it.
  int writer = -1;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(writer, 0) << "the program is not waiting on the FIFO";
  ASSERT_EQ(write(writer, "\n", 1), 1);
  close(writer);
}

TEST_F(ShellTest, FailuresKeepTheShellMeaning) {
  WriteFile(dir_.Child("plain.txt"), "hello\n", kExecutable);
  WriteFile(dir_.Child("empty"), "", kExecutable);
  fs::copy_file("/bin/true", dir_.Child("true-not-executable"));
  fs::permissions(dir_.Child("true-not-executable"), kReadable);
  WriteFile(dir_.Child("script-not-executable"), Recorder("x"), kReadable);
  WriteFile(dir_.Child("no-interpreter"), "#!/nonexistent/interpreter\n", kExecutable);
  WriteFile(dir_.Child("not-pe.exe"), PeImage("x", "PX"), kReadable);
  WriteFile(dir_.Child("short.exe"), "MZ" + std::string(20, '\0'), kReadable);
  std::string far = PeImage("x");
  far[0x3D] = 0x40;  // e_lfanew beyond the end of the file
  WriteFile(dir_.Child("far.exe"), far, kReadable);
  fs::create_directory(dir_.Child("folder"));
  ASSERT_EQ(mkfifo(dir_.Child("fifo").c_str(), 0755), 0);  // opening it must not block
  // Larger than an installer may be (a sparse file: nothing is written).
  WriteFile(dir_.Child("huge.exe"), "", kExecutable);
  fs::resize_file(dir_.Child("huge.exe"), (uintmax_t{2} << 30) + 1);
  const std::string d = dir_.path() + "/";
  const struct {
    std::string file;
    uintptr_t expected;
  } cases[] = {
      {d + "missing.exe", kShellErrorFileNotFound},
      {"no-such-program-anywhere", kShellErrorFileNotFound},
      {"", kShellErrorFileNotFound},
      {d + "no-dir/setup.exe", kShellErrorPathNotFound},
      {d + "plain.txt/setup.exe", kShellErrorPathNotFound},
      {d + "true-not-executable", kShellErrorAccessDenied},
      {d + "script-not-executable", kShellErrorAccessDenied},
      {d + "no-interpreter", kShellErrorFileNotFound},
      {d + "plain.txt", kShellErrorNoAssociation},
      {d + "empty", kShellErrorNoAssociation},
      {d + "folder", kShellErrorNoAssociation},
      {d + "fifo", kShellErrorNoAssociation},
      {d + "huge.exe", kShellErrorOutOfMemory},
      {d + "not-pe.exe", kShellErrorBadFormat},
      {d + "short.exe", kShellErrorBadFormat},
      {d + "far.exe", kShellErrorBadFormat},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenAndStart(Utf8ToWide(c.file), L"/S"), c.expected) << c.file;
  }
  EXPECT_TRUE(fs::is_empty(records_)) << "a failed start ran something";

  // Descriptors that hold no program, and a Windows image with no `wine` on PATH.
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const int dir_fd = open(dir_.path().c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  EXPECT_EQ(StartProgramFromDescriptor(pipe_fds[0], "pipe", {}, {}), kShellErrorNoAssociation);
  EXPECT_EQ(StartProgramFromDescriptor(dir_fd, "dir", {}, {}), kShellErrorNoAssociation);
  EXPECT_EQ(StartProgramFromDescriptor(-1, "closed", {}, {}), kShellErrorOutOfResources);
  for (int fd : {pipe_fds[0], pipe_fds[1], dir_fd}) {
    close(fd);
  }
  fs::remove(bin_ / "wine");
  ASSERT_EQ(setenv("PATH", bin_.c_str(), 1), 0);
  WriteFile(dir_.Child("setup.exe"), PeImage("x"), kExecutable);
  EXPECT_EQ(OpenAndStart(Utf8ToWide(dir_.Child("setup.exe")), L"/S"), kShellErrorNoAssociation);
}

TEST_F(ShellTest, StartsExactlyTheOpenedFile) {
  const fs::path script = dir_.Child("installer.sh");
  WriteFile(script, Recorder("opened"), kExecutable);
  const int script_fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
  // The path now names another file; the opened one must run.
  WriteFile(dir_.Child("swap.sh"), Recorder("swapped"), kExecutable);
  fs::rename(dir_.Child("swap.sh"), script);
  ASSERT_EQ(StartProgramFromDescriptor(script_fd, "installer", {"arg one", ""}, {}), kShellStarted);
  std::optional<Record> record = TakeRecord();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->id, "opened");
  EXPECT_EQ(record->arguments, (std::vector<std::string>{"arg one", ""}));
  close(script_fd);

  // A native image, started from its descriptor after its name is gone.
  const fs::path tool = dir_.Child("touch copy");
  fs::copy_file("/usr/bin/touch", tool);
  fs::permissions(tool, kExecutable);
  const int tool_fd = open(tool.c_str(), O_RDONLY | O_CLOEXEC);
  fs::remove(tool);
  ASSERT_EQ(StartProgramFromDescriptor(tool_fd, "touch", {dir_.Child("made by elf")}, {}),
            kShellStarted);
  EXPECT_TRUE(WaitForFile(dir_.Child("made by elf")));
  close(tool_fd);
}

TEST_F(ShellTest, RunsAsTheGivenUserInTheGivenPlace) {
  const fs::path script = dir_.Child("installer.sh");
  WriteFile(script, Recorder("as-user"), kExecutable);
  const int fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
  // Root can start the program as anyone; anyone else can test the same path with their own ids.
  const bool root = geteuid() == 0;
  const uid_t uid = root ? 65534 : getuid();
  const gid_t gid = root ? 65534 : getgid();
  posix::SpawnOptions options;
  options.credentials = posix::SpawnCredentials{uid, gid, {gid}};
  options.environment = std::vector<std::string>{"FOO=bar baz", "PATH=" + saved_path_};
  options.working_directory = "/";
  ASSERT_EQ(StartProgramFromDescriptor(fd, "installer", {"x"}, options), kShellStarted);
  const std::optional<Record> record = TakeRecord();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->uid, std::to_string(uid));
  EXPECT_EQ(record->cwd, "/");
  EXPECT_EQ(record->foo, "bar baz");
  EXPECT_EQ(record->arguments, std::vector<std::string>{"x"});

  // A failure after the fork is reported as well as one before it.
  options.working_directory = dir_.Child("missing");
  EXPECT_EQ(StartProgramFromDescriptor(fd, "installer", {}, options), kShellErrorFileNotFound);
  if (!root) {
    options.working_directory.clear();
    options.credentials = posix::SpawnCredentials{0, 0, {}};
    EXPECT_EQ(StartProgramFromDescriptor(fd, "installer", {}, options), kShellErrorAccessDenied);
  }
  close(fd);
  EXPECT_TRUE(fs::is_empty(records_));
}

}  // namespace
}  // namespace os
