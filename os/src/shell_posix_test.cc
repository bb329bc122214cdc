#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os/installer_file.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using posix::SpawnOptions;
using posix::StartProgramFromDescriptor;

// rwxr-xr-x and rw-r--r--.
constexpr fs::perms kExecutable = fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec;
constexpr fs::perms kReadable =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

constexpr auto kDeadline = std::chrono::seconds(20);
// A descriptor the tests hold open without close-on-exec; no started program may see it.
constexpr int kLeakCanary = 200;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// A script that records how it was started into <records>/record (NUL-separated fields: its
// id, working directory, whether stdin is /dev/null, whether the canary descriptor is open, its
// parent's pid, its session, its user, $FOO, then its arguments), after running |before|, and
// runs |after| once the record is complete.
std::string RecorderScript(const std::string& id, const fs::path& records,
                           const std::string& before = "", const std::string& after = "") {
  std::string script = R"sh(#!/bin/sh
field() { printf '%s\0' "$1"; }
stat_field() { n=$1; read -r s < /proc/$$/stat; set -- ${s##*") "}; eval "echo \"\${$n}\""; }
@BEFORE@{
  field '@ID@'
  field "$(pwd)"
  if [ /proc/$$/fd/0 -ef /dev/null ]; then field stdin-null; else field stdin-other; fi
  if [ -e /proc/$$/fd/@CANARY@ ]; then field canary-open; else field canary-closed; fi
  field "$(stat_field 2)"
  field "$(stat_field 4)"
  field "$(id -u)"
  field "${FOO-unset}"
  for a in "$@"; do field "$a"; done
} > '@RECORD@.tmp'
mv '@RECORD@.tmp' '@RECORD@'
@AFTER@)sh";
  const std::string record = (records / "record").string();
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"@BEFORE@", before},
                                   {"@ID@", id},
                                   {"@CANARY@", std::to_string(kLeakCanary)},
                                   {"@RECORD@", record},
                                   {"@RECORD@", record},
                                   {"@RECORD@", record},
                                   {"@AFTER@", after}}) {
    script.replace(script.find(key), key.size(), value);
  }
  return script;
}

struct Record {
  std::string id;
  std::string cwd;
  std::string stdin_state;
  std::string canary;
  std::string parent;
  std::string session;
  std::string uid;
  std::string foo;
  std::vector<std::string> arguments;
};

// Waits, up to the deadline, for a file that a started program creates.
bool WaitForFile(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    // Polling the file system, bounded by the deadline: the program is not ours to wait for.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::optional<Record> TakeRecord(const fs::path& records) {
  const fs::path file = records / "record";
  if (!WaitForFile(file)) {
    return std::nullopt;
  }
  const std::string bytes = ReadFile(file);
  fs::remove(file);
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(bytes.substr(start, end - start));
  }
  if (fields.size() < 8) {
    return std::nullopt;
  }
  return Record{fields[0], fields[1], fields[2],
                fields[3], fields[4], fields[5],
                fields[6], fields[7], std::vector<std::string>(fields.begin() + 8, fields.end())};
}

// Opens |file| and starts it, as an installer is started.
uintptr_t OpenAndStart(const std::wstring& file, const std::wstring& parameters) {
  return ShellExecute(InstallerFile::Open(file), parameters);
}

// Whether this process has any child left, running or not reaped.
bool HasChildren() { return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

// Each test gets its own directory, a recording `wine` first on PATH (unless told otherwise) and
// the canary descriptor; the environment is changed here, before any thread.
class ShellTest : public testing::Test {
 protected:
  explicit ShellTest(bool with_wine = true) : with_wine_(with_wine) {}

  void SetUp() override {
    std::string pattern = testing::TempDir() + "shell_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::permissions(dir_, kExecutable);
    bin_ = dir_ / "bin";
    records_ = dir_ / "records";
    fs::create_directories(bin_);
    fs::create_directories(records_);
    fs::permissions(records_, fs::perms::all);
    if (with_wine_) {
      WriteFile(bin_ / "wine",
                RecorderScript("wine", records_,
                               "cat \"$1\" > '" + (records_ / "content").string() + "'\n"),
                kExecutable);
    }
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
    const std::string new_path = with_wine_ ? bin_.string() + ":" + saved_path_ : bin_.string();
    ASSERT_EQ(setenv("PATH", new_path.c_str(), 1), 0);

    const int canary = open("/dev/null", O_RDONLY);
    ASSERT_GE(canary, 0);
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
    if (saved_stdin_ >= 0) {
      dup2(saved_stdin_, STDIN_FILENO);
      close(saved_stdin_);
    }
    close(kLeakCanary);
    setenv("PATH", saved_path_.c_str(), 1);
    fs::remove_all(dir_);
    EXPECT_FALSE(HasChildren()) << "a started program was left as our child";
  }

  // The checks every started program must pass.
  static void ExpectDetached(const Record& record) {
    EXPECT_EQ(record.stdin_state, "stdin-null");
    EXPECT_EQ(record.canary, "canary-closed");
    EXPECT_NE(record.parent, std::to_string(getpid()));
    EXPECT_NE(record.session, std::to_string(getsid(0)));
  }

  const bool with_wine_;
  fs::path dir_;
  fs::path bin_;
  fs::path records_;
  std::string saved_path_;
  int saved_stdin_ = -1;
};

class ShellWithoutWineTest : public ShellTest {
 protected:
  ShellWithoutWineTest() : ShellTest(/*with_wine=*/false) {}
};

TEST_F(ShellTest, StartsWindowsImagesThroughWineAndScriptsDirectly) {
  const fs::path image = dir_ / "setup file.exe";
  const std::string image_bytes = PeImage("first installer");
  WriteFile(image, image_bytes, kReadable);  // Windows images need no execute permission
  WriteFile(dir_ / "record.sh", RecorderScript("script", records_), kExecutable);

  struct Case {
    std::wstring file;
    std::wstring parameters;
    std::string id;
    std::vector<std::string> arguments;
  } cases[] = {
      {Utf8ToWide(image.string()),
       L"/S \"/D=C:\\Program Files\\x\" a\\\\\"b c\"",
       "wine",
       {"/proc/self/fd/", "/S", "/D=C:\\Program Files\\x", "a\\b c"}},
      {Utf8ToWide((dir_ / "record.sh").string()),
       L" one \"two three\" \"\" caf\u00e9",
       "script",
       {"one", "two three", "", "caf\xC3\xA9"}},
      {Utf8ToWide((dir_ / "record.sh").string()) + std::wstring(1, L'\0') + L"ignored",
       std::wstring(L"cut") + std::wstring(1, L'\0') + L" here",
       "script",
       {"cut"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_EQ(OpenAndStart(c.file, c.parameters), kShellStarted);
    std::optional<Record> record = TakeRecord(records_);
    ASSERT_TRUE(record.has_value()) << "the program did not run";
    EXPECT_EQ(record->id, c.id);
    if (c.id == "wine") {
      // wine reads the image through the opened copy, open in it as /proc/self/fd/N.
      ASSERT_FALSE(record->arguments.empty());
      EXPECT_TRUE(record->arguments[0].starts_with(c.arguments[0])) << record->arguments[0];
      record->arguments[0] = c.arguments[0];
    }
    EXPECT_EQ(record->arguments, c.arguments);
    EXPECT_EQ(record->cwd, fs::current_path().string());
    ExpectDetached(*record);
  }
  EXPECT_EQ(ReadFile(records_ / "content"), image_bytes) << "wine was not given the image";
}

TEST_F(ShellTest, StartsNativeImagesDirectly) {
  const fs::path tool = dir_ / "touch copy";
  fs::copy_file("/usr/bin/touch", tool);
  fs::permissions(tool, kExecutable);
  const fs::path first = dir_ / "made by elf";
  const fs::path second = dir_ / "second";
  ASSERT_EQ(OpenAndStart(Utf8ToWide(tool.string()),
                         Utf8ToWide("\"" + first.string() + "\" " + second.string())),
            kShellStarted);
  EXPECT_TRUE(WaitForFile(first));
  EXPECT_TRUE(WaitForFile(second));
}

TEST_F(ShellTest, DoesNotWaitForTheProgram) {
  const fs::path fifo = dir_ / "release";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(dir_ / "blocking.sh",
            RecorderScript("blocking", records_, "", "read line < '" + fifo.string() + "'\n"),
            kExecutable);
  ASSERT_EQ(OpenAndStart(Utf8ToWide((dir_ / "blocking.sh").string()), L""), kShellStarted);
  ASSERT_TRUE(TakeRecord(records_).has_value());
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
  WriteFile(dir_ / "plain.txt", "hello\n", kExecutable);
  WriteFile(dir_ / "empty", "", kExecutable);
  fs::copy_file("/bin/true", dir_ / "true-not-executable");
  fs::permissions(dir_ / "true-not-executable", kReadable);
  WriteFile(dir_ / "script-not-executable", RecorderScript("x", records_), kReadable);
  WriteFile(dir_ / "no-interpreter", "#!/nonexistent/interpreter\n", kExecutable);
  WriteFile(dir_ / "not-pe.exe", PeImage("x", "PX"), kReadable);
  WriteFile(dir_ / "short.exe", "MZ" + std::string(20, '\0'), kReadable);
  std::string far = PeImage("x");
  far[0x3D] = 0x40;  // e_lfanew beyond the end of the file
  WriteFile(dir_ / "far.exe", far, kReadable);
  fs::create_directory(dir_ / "folder");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0755), 0);  // opening it must not block
  // Larger than an installer may be (a sparse file: nothing is written).
  WriteFile(dir_ / "huge.exe", "", kExecutable);
  fs::resize_file(dir_ / "huge.exe", (uintmax_t{2} << 30) + 1);

  struct Case {
    std::wstring file;
    uintptr_t expected;
  } cases[] = {
      {Utf8ToWide((dir_ / "missing.exe").string()), kShellErrorFileNotFound},
      {L"no-such-program-anywhere", kShellErrorFileNotFound},
      {L"", kShellErrorFileNotFound},
      {Utf8ToWide((dir_ / "no-dir" / "setup.exe").string()), kShellErrorPathNotFound},
      {Utf8ToWide((dir_ / "plain.txt" / "setup.exe").string()), kShellErrorPathNotFound},
      {Utf8ToWide((dir_ / "true-not-executable").string()), kShellErrorAccessDenied},
      {Utf8ToWide((dir_ / "script-not-executable").string()), kShellErrorAccessDenied},
      {Utf8ToWide((dir_ / "no-interpreter").string()), kShellErrorFileNotFound},
      {Utf8ToWide((dir_ / "plain.txt").string()), kShellErrorNoAssociation},
      {Utf8ToWide((dir_ / "empty").string()), kShellErrorNoAssociation},
      {Utf8ToWide((dir_ / "folder").string()), kShellErrorNoAssociation},
      {Utf8ToWide((dir_ / "fifo").string()), kShellErrorNoAssociation},
      {Utf8ToWide((dir_ / "huge.exe").string()), kShellErrorOutOfMemory},
      {Utf8ToWide((dir_ / "not-pe.exe").string()), kShellErrorBadFormat},
      {Utf8ToWide((dir_ / "short.exe").string()), kShellErrorBadFormat},
      {Utf8ToWide((dir_ / "far.exe").string()), kShellErrorBadFormat},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OpenAndStart(c.file, L"/S"), c.expected) << WideToUtf8(c.file);
  }
  EXPECT_TRUE(fs::is_empty(records_)) << "a failed start ran something";
}

TEST_F(ShellWithoutWineTest, WindowsImageHasNoAssociation) {
  const fs::path image = dir_ / "setup.exe";
  WriteFile(image, PeImage("x"), kExecutable);
  EXPECT_EQ(OpenAndStart(Utf8ToWide(image.string()), L"/S"), kShellErrorNoAssociation);
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(StartProgramFromDescriptor(fd, "setup", {}, {}), kShellErrorNoAssociation);
  close(fd);
}

TEST_F(ShellTest, StartsExactlyTheOpenedFile) {
  const fs::path script = dir_ / "installer.sh";
  WriteFile(script, RecorderScript("opened", records_), kExecutable);
  const int script_fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(script_fd, 0);
  // The path now names another file; the opened one must run.
  WriteFile(dir_ / "swap.sh", RecorderScript("swapped", records_), kExecutable);
  fs::rename(dir_ / "swap.sh", script);
  ASSERT_EQ(StartProgramFromDescriptor(script_fd, "installer", {"arg one", ""}, {}), kShellStarted);
  std::optional<Record> record = TakeRecord(records_);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->id, "opened");
  EXPECT_EQ(record->arguments, (std::vector<std::string>{"arg one", ""}));
  EXPECT_EQ(record->cwd, fs::current_path().string());
  ExpectDetached(*record);
  close(script_fd);

  const fs::path image = dir_ / "setup.exe";
  const std::string image_bytes = PeImage("opened image");
  WriteFile(image, image_bytes, kReadable);
  const int image_fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(image_fd, 0);
  fs::remove(image);
  ASSERT_EQ(StartProgramFromDescriptor(image_fd, "setup", {"/S"}, {}), kShellStarted);
  record = TakeRecord(records_);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->id, "wine");
  ASSERT_EQ(record->arguments.size(), 2u);
  EXPECT_TRUE(record->arguments[0].starts_with("/proc/self/fd/")) << record->arguments[0];
  EXPECT_EQ(record->arguments[1], "/S");
  EXPECT_EQ(ReadFile(records_ / "content"), image_bytes);
  ExpectDetached(*record);
  close(image_fd);

  const fs::path tool = dir_ / "touch copy";
  fs::copy_file("/usr/bin/touch", tool);
  fs::permissions(tool, kExecutable);
  const int tool_fd = open(tool.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(tool_fd, 0);
  fs::remove(tool);
  ASSERT_EQ(StartProgramFromDescriptor(tool_fd, "touch", {(dir_ / "made").string()}, {}),
            kShellStarted);
  EXPECT_TRUE(WaitForFile(dir_ / "made"));
  close(tool_fd);
}

TEST_F(ShellTest, RunsAsTheGivenUserInTheGivenPlace) {
  const fs::path script = dir_ / "installer.sh";
  WriteFile(script, RecorderScript("as-user", records_), kExecutable);
  const int fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  // Root can start the program as anyone; anyone else can test the same path with their own ids.
  const bool root = geteuid() == 0;
  const uid_t uid = root ? 65534 : getuid();
  const gid_t gid = root ? 65534 : getgid();
  SpawnOptions options;
  options.credentials = posix::SpawnCredentials{uid, gid, {gid}};
  options.environment = std::vector<std::string>{"FOO=bar baz", "PATH=" + saved_path_};
  options.working_directory = "/";
  ASSERT_EQ(StartProgramFromDescriptor(fd, "installer", {"x"}, options), kShellStarted);
  const std::optional<Record> record = TakeRecord(records_);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->uid, std::to_string(uid));
  EXPECT_EQ(record->cwd, "/");
  EXPECT_EQ(record->foo, "bar baz");
  EXPECT_EQ(record->arguments, std::vector<std::string>{"x"});
  ExpectDetached(*record);

  // A failure after the fork is reported as well as one before it.
  options.working_directory = (dir_ / "missing").string();
  EXPECT_EQ(StartProgramFromDescriptor(fd, "installer", {}, options), kShellErrorFileNotFound);
  if (!root) {
    options.working_directory.clear();
    options.credentials = posix::SpawnCredentials{0, 0, {}};
    EXPECT_EQ(StartProgramFromDescriptor(fd, "installer", {}, options), kShellErrorAccessDenied);
  }
  close(fd);
  EXPECT_TRUE(fs::is_empty(records_));
}

TEST_F(ShellTest, DescriptorsThatHoldNoProgram) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  EXPECT_EQ(StartProgramFromDescriptor(pipe_fds[0], "pipe", {}, {}), kShellErrorNoAssociation);
  close(pipe_fds[0]);
  close(pipe_fds[1]);

  const int dir_fd = open(dir_.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  ASSERT_GE(dir_fd, 0);
  EXPECT_EQ(StartProgramFromDescriptor(dir_fd, "dir", {}, {}), kShellErrorNoAssociation);
  close(dir_fd);

  WriteFile(dir_ / "bad.exe", PeImage("x", "NE"), kReadable);
  const int bad_fd = open((dir_ / "bad.exe").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(bad_fd, 0);
  EXPECT_EQ(StartProgramFromDescriptor(bad_fd, "bad", {}, {}), kShellErrorBadFormat);
  close(bad_fd);
  EXPECT_EQ(StartProgramFromDescriptor(-1, "closed", {}, {}), kShellErrorOutOfResources);
}

}  // namespace
}  // namespace os
