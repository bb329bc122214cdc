#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "os/registry.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\r\n";
constexpr wchar_t kSubkey[] = L"SOFTWARE\\Halvern\\Tavori";
constexpr wchar_t kName[] = L"SilentInstallVersion";
constexpr size_t kBuffer = 260;

enum class Encoding { kUtf8, kUtf8Bom, kUtf16 };

std::string Encode(const std::string& utf8, Encoding encoding) {
  switch (encoding) {
    case Encoding::kUtf8:
      return utf8;
    case Encoding::kUtf8Bom:
      return "\xEF\xBB\xBF" + utf8;
    case Encoding::kUtf16:
      break;
  }
  std::string out = "\xFF\xFE";
  for (wchar_t wc : Utf8ToWide(utf8)) {
    auto c = static_cast<uint32_t>(wc);  // NOLINT(bugprone-signed-char-misuse): a code point
    auto unit = [&out](uint32_t u) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 + (c >> 10));
      unit(0xDC00 + (c & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

std::string Describe(const Result<std::wstring>& result) {
  return result.ok() ? "ok:" + WideToUtf8(result.value())
                     : "error " + std::to_string(result.error());
}

std::string Ok(const std::string& value) { return "ok:" + value; }
std::string Error(ErrorCode code) { return "error " + std::to_string(code); }

// Each test gets its own machine-wide root; the environment is changed here,
// before any thread.
class RegistryPosixTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "registry_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    fs::create_directories(root_ / "registry");
    ASSERT_EQ(setenv("TAVORI_SYSTEM_ROOT", root_.c_str(), 1), 0);
    ASSERT_EQ(setenv("TAVORI_REG_TEST_DIR", "/opt/x", 1), 0);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path RegistryFile() const { return root_ / "registry" / "HKEY_LOCAL_MACHINE.reg"; }

  void WriteRegistry(const std::string& bytes) {
    std::ofstream(RegistryFile(), std::ios::binary | std::ios::trunc) << bytes;
  }

  static std::string Read(std::wstring_view subkey = kSubkey, std::wstring_view name = kName,
                          size_t buffer = kBuffer) {
    return Describe(RegGetString(RegistryRoot::kLocalMachine, subkey, name, buffer));
  }

  fs::path root_;
};

TEST_F(RegistryPosixTest, ValuesOfEveryFormInEveryEncoding) {
  struct Case {
    const char* what;
    std::string body;  // lines after the header
    std::wstring subkey;
    std::wstring name;
    std::string expected;
  } cases[] = {
      {"plain string", std::string(kSection) + "\"SilentInstallVersion\"=\"3.2.0.1\"\r\n", kSubkey,
       kName, Ok("3.2.0.1")},
      {"key and name in other cases",
       "[hkey_local_machine\\software\\HALVERN\\tavori]"
       "\n\"silentINSTALLversion\"=\"1.0.0.0\"\n",
       kSubkey, kName, Ok("1.0.0.0")},
      {"non-ASCII key compares case-insensitively",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xC3\x84pfel\\\xC3\xA9t\xC3\xA9]\n\"N\"="
       "\"v\"\n",
       L"software\\\u00e4PFEL\\\u00c9T\u00c9", L"n", Ok("v")},
      {"escapes", std::string(kSection) + "\"SilentInstallVersion\"=\"C:\\\\P F\\\\\\\"q\\\"\"\n",
       kSubkey, kName, Ok(R"(C:\P F\"q")")},
      {"escaped quote in the name", std::string(kSection) + "\"a\\\"b\"=\"x\"\n", kSubkey, L"A\"B",
       Ok("x")},
      {"unknown escape stands for itself", std::string(kSection) + "\"n\"=\"a\\tb\"\n", kSubkey,
       L"n", Ok("a\\tb")},
      {"empty string", std::string(kSection) + "\"SilentInstallVersion\"=\"\"\n", kSubkey, kName,
       Ok("")},
      {"default value", std::string(kSection) + "@=\"def\"\n\"@\"=\"at\"\n", kSubkey, L"",
       Ok("def")},
      {"a value named @ is not the default", std::string(kSection) + "@=\"def\"\n\"@\"=\"at\"\n",
       kSubkey, L"@", Ok("at")},
      {"blanks, comments and empty components",
       "; comment\n\n   [HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Halvern\\Tavori\\]\n"
       "  \"SilentInstallVersion\" = \"2.0.0.0\" ; trailing comment\n",
       L"\\SOFTWARE\\Halvern\\Tavori", kName, Ok("2.0.0.0")},
      {"REG_SZ written as hex(1) with a continuation",
       std::string(kSection) + "\"SilentInstallVersion\"=hex(1):33,00,2e,00,"
                               "\\\r\n  32,00,00,00\r\n",
       kSubkey, kName, Ok("3.2")},
      {"hex(1) without its NUL", std::string(kSection) + "\"n\"=hex(1):41,00,42,00\n", kSubkey,
       L"n", Ok("AB")},
      {"hex(1) stops at an inner NUL", std::string(kSection) + "\"n\"=hex(1):41,00,00,00,42,00\n",
       kSubkey, L"n", Ok("A")},
      {"REG_EXPAND_SZ is expanded",
       std::string(kSection) + "\"n\"=hex(2):25,00,54,00,41,00,56,00,4f,00,52,"
                               "00,49,00,5f,00,52,00,45,00,47,00,5f,00,"
                               "\\\n  "
                               "54,00,45,00,53,00,54,00,5f,00,44,00,49,00,52,"
                               "00,25,00,2f,00,25,00,6e,00,6f,00,"
                               "25,00,00,00\n",
       kSubkey, L"n", Ok("/opt/x/%no%")},
      {"later lines win",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n" + kSection +
           "\"SilentInstallVersion\"=\"2\"\n",
       kSubkey, kName, Ok("2")},
      {"key deleted with its sub-keys, then made again",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n\"other\"=\"o\"\n" +
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern]\n\"SilentInstallVersion\"="
           "\"orphan\"\n" +
           kSection + "\"SilentInstallVersion\"=\"3\"\n",
       kSubkey, kName, Ok("3")},
      {"a root key cannot be deleted",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n[-HKEY_LOCAL_MACHINE]\n", kSubkey,
       kName, Ok("1")},
      {"malformed value lines are skipped",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n\"SilentInstallVersion\"=\"2\n" +
           "\"SilentInstallVersion\"=dword:xyz\n\"SilentInstallVersion\"=hex:"
           "0g\n" +
           "\"SilentInstallVersion\"\n\"SilentInstallVersion\"=\"3\" "
           "trailing\n",
       kSubkey, kName, Ok("1")},
  };
  for (const Case& c : cases) {
    for (Encoding encoding : {Encoding::kUtf8, Encoding::kUtf8Bom, Encoding::kUtf16}) {
      WriteRegistry(Encode(kHeader + c.body, encoding));
      EXPECT_EQ(Read(c.subkey, c.name), c.expected)
          << c.what << " (encoding " << static_cast<int>(encoding) << ")";
    }
  }
}

TEST_F(RegistryPosixTest, MissingAndRemovedValuesAndOtherTypes) {
  struct Case {
    const char* what;
    std::string body;
    ErrorCode expected;
  } cases[] = {
      {"no such key",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"SilentInstallVersion\"="
       "\"1\"\n",
       kErrorFileNotFound},
      {"only a sub-key has values",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori\\Sub]"
       "\n\"SilentInstallVersion\"=\"1\"\n",
       kErrorFileNotFound},
      {"another root",
       "[HKEY_CURRENT_USER\\SOFTWARE\\Halvern\\Tavori]"
       "\n\"SilentInstallVersion\"=\"1\"\n",
       kErrorFileNotFound},
      {"no such value", std::string(kSection) + "\"Other\"=\"1\"\n", kErrorFileNotFound},
      {"value removed",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n" + "\"silentinstallversion\"=-\n",
       kErrorFileNotFound},
      {"key deleted",
       std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n" +
           "[-HKEY_LOCAL_MACHINE\\software\\halvern\\tavori]\n",
       kErrorFileNotFound},
      {"malformed section ends the section",
       std::string(kSection) + "[HKEY_LOCAL_MACHINE\\broken\n\"SilentInstallVersion\"=\"1\"\n",
       kErrorFileNotFound},
      {"value before any section", "\"SilentInstallVersion\"=\"1\"\n", kErrorFileNotFound},
      {"dword", std::string(kSection) + "\"SilentInstallVersion\"=dword:0000002a\n",
       kErrorUnsupportedType},
      {"qword", std::string(kSection) + "\"SilentInstallVersion\"=hex(b):2a,00,00,00,00,00,00,00\n",
       kErrorUnsupportedType},
      {"binary", std::string(kSection) + "\"SilentInstallVersion\"=hex:33,00,00,00\n",
       kErrorUnsupportedType},
      {"multi string",
       std::string(kSection) + "\"SilentInstallVersion\"=hex(7):33,00,00,00,00,00\n",
       kErrorUnsupportedType},
      {"none", std::string(kSection) + "\"SilentInstallVersion\"=hex(0):\n", kErrorUnsupportedType},
  };
  for (const Case& c : cases) {
    WriteRegistry(kHeader + c.body);
    EXPECT_EQ(Read(), Error(c.expected)) << c.what;
  }
}

TEST_F(RegistryPosixTest, BufferCountsUtf16UnitsWithTheNul) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  std::string emoji_259 = "x";
  for (int i = 0; i < 129; ++i) {
    emoji_259 += emoji;
  }
  struct Case {
    std::string value;
    size_t buffer;
    std::string expected;
  } cases[] = {
      {std::string(259, 'a'), 260, Ok(std::string(259, 'a'))},
      {std::string(260, 'a'), 260, Error(kErrorMoreData)},
      {std::string(260, 'a'), 261, Ok(std::string(260, 'a'))},
      {emoji_259, 260, Ok(emoji_259)},
      {emoji_259 + "y", 260, Error(kErrorMoreData)},
      {"", 1, Ok("")},
      {"", 0, Error(kErrorMoreData)},
  };
  for (const Case& c : cases) {
    for (Encoding encoding : {Encoding::kUtf8, Encoding::kUtf16}) {
      WriteRegistry(
          Encode(kHeader + std::string(kSection) + R"("SilentInstallVersion"=")" + c.value + "\"\n",
                 encoding));
      EXPECT_EQ(Read(kSubkey, kName, c.buffer), c.expected)
          << c.value.size() << " bytes in " << c.buffer;
    }
  }
  // Expansion may make a fitting value too long.
  WriteRegistry(kHeader + std::string(kSection) +
                "\"n\"=hex(2):25,00,54,00,41,00,56,00,4f,00,52,00,49,00,5f,00,52,00,45,"
                "00,47,00,"
                "5f,00,54,00,45,00,53,00,54,00,5f,00,44,00,49,00,52,00,25,00,00,00\n");
  EXPECT_EQ(Read(kSubkey, L"n", 22), Ok("/opt/x"));
  EXPECT_EQ(Read(kSubkey, L"n", 21), Error(kErrorMoreData)) << "the stored text must fit as well";
  ASSERT_EQ(setenv("TAVORI_REG_TEST_DIR", std::string(30, 'd').c_str(), 1), 0);
  EXPECT_EQ(Read(kSubkey, L"n", 30), Error(kErrorMoreData));
  EXPECT_EQ(Read(kSubkey, L"n", 31), Ok(std::string(30, 'd')));
}

TEST_F(RegistryPosixTest, OlderFormatKeepsStringDataAsEightBitText) {
  WriteRegistry(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\n"
      "\"SilentInstallVersion\"=\"4.0\"\n\"raw\"=hex(1):34,2e,31,00\n");
  EXPECT_EQ(Read(), Ok("4.0"));
  EXPECT_EQ(Read(kSubkey, L"raw"), Ok("4.1"));
}

TEST_F(RegistryPosixTest, UnusableFilesFailWithoutCrashing) {
  EXPECT_EQ(Read(), Error(kErrorFileNotFound)) << "no file";

  struct Case {
    const char* what;
    std::string bytes;
    ErrorCode expected;
  } cases[] = {
      {"empty", "", kErrorBadDb},
      {"no header", std::string(kSection) + "\"SilentInstallVersion\"=\"1\"\n", kErrorBadDb},
      {"other header", "Windows Registry Editor Version 6.00\n" + std::string(kSection),
       kErrorBadDb},
      {"binary garbage", std::string("\x00\xFF\xFE\x01[\"\\", 7), kErrorBadDb},
      {"UTF-16 without its mark", Encode(kHeader, Encoding::kUtf16).substr(2), kErrorBadDb},
      {"header only", kHeader, kErrorFileNotFound},
      {"continuation at the end", std::string(kHeader) + kSection + R"("x"=hex:01,\)",
       kErrorFileNotFound},
  };
  for (const Case& c : cases) {
    WriteRegistry(c.bytes);
    EXPECT_EQ(Read(), Error(c.expected)) << c.what;
  }

  // Every cut of a good file reads the whole value or none of it.
  const std::string good = std::string(kHeader) + "; v\n" + kSection +
                           "\"Bin\"=hex:01,02,\\\n  03\n\"SilentInstallVersion\"=\"3.2.0.1\"\n";
  for (Encoding encoding : {Encoding::kUtf8, Encoding::kUtf16}) {
    const std::string bytes = Encode(good, encoding);
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
      WriteRegistry(bytes.substr(0, cut));
      const std::string got = Read();
      EXPECT_TRUE(got == Ok("3.2.0.1") || got == Error(kErrorFileNotFound) ||
                  got == Error(kErrorBadDb))
          << got << " at " << cut;
    }
  }

  // Random damage anywhere in a file with every kind of line.
  const std::string varied = good +
                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"q\"=hex(7):41,00,00,00,\\\n"
                             "  00,00\n@=dword:1\n\"SilentInstallVersion\"=-\n" +
                             kSection + "\"SilentInstallVersion\"=\"9\"\n";
  std::mt19937 random(20240601);
  for (int round = 0; round < 1000; ++round) {
    std::string bytes = Encode(varied, round % 2 == 0 ? Encoding::kUtf8 : Encoding::kUtf16);
    const int damage = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < damage; ++i) {
      bytes[random() % bytes.size()] = static_cast<char>(random() % 256);
    }
    WriteRegistry(bytes.substr(0, random() % (bytes.size() + 1)));
    const Result<std::wstring> result =
        RegGetString(RegistryRoot::kLocalMachine, kSubkey, kName, kBuffer);
    if (!result.ok()) {
      EXPECT_TRUE(result.error() == kErrorFileNotFound || result.error() == kErrorBadDb ||
                  result.error() == kErrorUnsupportedType || result.error() == kErrorMoreData)
          << result.error() << " in round " << round;
    }
  }

  fs::remove(RegistryFile());
  fs::create_directory(RegistryFile());
  EXPECT_EQ(Read(), Error(kErrorCantOpen)) << "a directory";
  fs::remove(RegistryFile());
  ASSERT_EQ(mkfifo(RegistryFile().c_str(), 0600), 0);
  EXPECT_EQ(Read(), Error(kErrorCantOpen)) << "a FIFO must not block";
  fs::remove(RegistryFile());

  WriteRegistry(std::string(kHeader) + kSection + "\"SilentInstallVersion\"=\"1\"\n");
  fs::resize_file(RegistryFile(), (64 << 20) + 1);
  EXPECT_EQ(Read(), Error(kErrorBadDb)) << "larger than 64 MiB";
}

TEST_F(RegistryPosixTest, UnreadableFileIsAccessDenied) {
  WriteRegistry(std::string(kHeader) + kSection + "\"SilentInstallVersion\"=\"1\"\n");
  ASSERT_EQ(chmod(RegistryFile().c_str(), 0600), 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(RegistryFile().c_str(), 0), 0);
    EXPECT_EQ(Read(), Error(kErrorAccessDenied));
    return;
  }
  // Root reads everything: read as an ordinary user in a child process instead.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      _exit(100);
    }
    const Result<std::wstring> result =
        RegGetString(RegistryRoot::kLocalMachine, kSubkey, kName, kBuffer);
    _exit(result.ok() ? 101 : static_cast<int>(result.error()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(kErrorAccessDenied));
}

}  // namespace
}  // namespace os
