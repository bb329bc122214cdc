#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "base/test/temp_dir.h"
#include "os/registry.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\r\n";
constexpr wchar_t kSubkey[] = L"SOFTWARE\\Halvern\\Tavori";
constexpr wchar_t kName[] = L"Version";
// "%TAVORI_REG_TEST_DIR%" as REG_EXPAND_SZ bytes (UTF-16LE), without the NUL.
constexpr char kExpandBytes[] =
    "25,00,54,00,41,00,56,00,4f,00,52,00,49,00,5f,00,52,00,45,00,47,00,5f,00,\\\n  "
    "54,00,45,00,53,00,54,00,5f,00,44,00,49,00,52,00,25,00";

enum class Encoding { kUtf8, kUtf8Bom, kUtf16 };

std::string Encode(const std::string& utf8, Encoding encoding) {
  if (encoding != Encoding::kUtf16) {
    return (encoding == Encoding::kUtf8Bom ? "\xEF\xBB\xBF" : "") + utf8;
  }
  std::string out = "\xFF\xFE";
  const auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (wchar_t wc : Utf8ToWide(utf8)) {
    auto c = static_cast<uint32_t>(wc);  // NOLINT(bugprone-signed-char-misuse): a code point
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    unit(c);
  }
  return out;
}

std::string Ok(const std::string& value) { return "ok:" + value; }
std::string Error(ErrorCode code) { return "error " + std::to_string(code); }

// Each test gets its own machine-wide root; the environment is changed here, before any thread.
class RegistryPosixTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    fs::create_directories(root_.Child("registry"));
    ASSERT_EQ(setenv("TAVORI_SYSTEM_ROOT", root_.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("TAVORI_REG_TEST_DIR", "/opt/x", 1), 0);
  }

  std::string RegistryFile() const { return root_.Child("registry/HKEY_LOCAL_MACHINE.reg"); }
  void WriteRegistry(const std::string& bytes) {
    std::ofstream(RegistryFile(), std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string Read(std::wstring_view subkey = kSubkey, std::wstring_view name = kName,
                          size_t buffer = 260) {
    const Result<std::wstring> result =
        RegGetString(RegistryRoot::kLocalMachine, subkey, name, buffer);
    return result.ok() ? Ok(WideToUtf8(result.value())) : Error(result.error());
  }

  base::test::ScopedTempDir root_;
};

TEST_F(RegistryPosixTest, ValuesOfEveryFormInEveryEncoding) {
  const std::string section = kSection;
  const std::string missing = Error(kErrorFileNotFound);
  const std::string unsupported = Error(kErrorUnsupportedType);
  struct Case {
    const char* what;
    std::string body;  // lines after the header
    std::string expected;
    std::wstring name = kName;
    std::wstring subkey = kSubkey;
  } cases[] = {
      {"plain string", section + "\"Version\"=\"3.2.0.1\"\r\n", Ok("3.2.0.1")},
      {"key and name in other cases",
       "[hkey_local_machine\\software\\HALVERN\\tavori]\n\"vERSION\"=\"1.0.0.0\"\n", Ok("1.0.0.0")},
      {"non-ASCII key compares case-insensitively",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xC3\x84pfel\\\xC3\xA9t\xC3\xA9]\n\"N\"=\"v\"\n", Ok("v"),
       L"n", L"software\\\u00e4PFEL\\\u00c9T\u00c9"},
      {"escapes", section + "\"Version\"=\"C:\\\\P F\\\\\\\"q\\\"\"\n", Ok(R"(C:\P F\"q")")},
      {"escaped quote in the name", section + "\"a\\\"b\"=\"x\"\n", Ok("x"), L"A\"B"},
      {"unknown escape stands for itself", section + "\"n\"=\"a\\tb\"\n", Ok("a\\tb"), L"n"},
      {"empty string", section + "\"Version\"=\"\"\n", Ok("")},
      {"default value", section + "@=\"def\"\n\"@\"=\"at\"\n", Ok("def"), L""},
      {"a value named @ is not the default", section + "@=\"def\"\n\"@\"=\"at\"\n", Ok("at"), L"@"},
      {"blanks, comments and empty components",
       "; comment\n\n   [HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Halvern\\Tavori\\]\n"
       "  \"Version\" = \"2.0.0.0\" ; trailing comment\n",
       Ok("2.0.0.0"), kName, L"\\SOFTWARE\\Halvern\\Tavori"},
      {"REG_SZ as hex(1) with a continuation",
       section + "\"Version\"=hex(1):33,00,2e,00,\\\r\n  32,00,00,00\r\n", Ok("3.2")},
      {"hex(1) without its NUL", section + "\"n\"=hex(1):41,00,42,00\n", Ok("AB"), L"n"},
      {"hex(1) stops at an inner NUL", section + "\"n\"=hex(1):41,00,00,00,42,00\n", Ok("A"), L"n"},
      {"REG_EXPAND_SZ is expanded",
       section + "\"n\"=hex(2):" + kExpandBytes + ",2f,00,25,00,6e,00,6f,00,25,00,00,00\n",
       Ok("/opt/x/%no%"), L"n"},
      {"later lines win", section + "\"Version\"=\"1\"\n" + section + "\"Version\"=\"2\"\n",
       Ok("2")},
      {"key deleted with its sub-keys, then made again",
       section + "\"Version\"=\"1\"\n\"other\"=\"o\"\n" +
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern]\n\"Version\"=\"orphan\"\n" + section +
           "\"Version\"=\"3\"\n",
       Ok("3")},
      {"a root key cannot be deleted", section + "\"Version\"=\"1\"\n[-HKEY_LOCAL_MACHINE]\n",
       Ok("1")},
      {"malformed value lines are skipped",
       section + "\"Version\"=\"1\"\n\"Version\"=\"2\n" +
           "\"Version\"=dword:xyz\n\"Version\"=hex:0g\n" +
           "\"Version\"\n\"Version\"=\"3\" trailing\n",
       Ok("1")},
      {"no such key", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Version\"=\"1\"\n", missing},
      {"only a sub-key has values",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori\\Sub]\n\"Version\"=\"1\"\n", missing},
      {"another root", "[HKEY_CURRENT_USER\\SOFTWARE\\Halvern\\Tavori]\n\"Version\"=\"1\"\n",
       missing},
      {"no such value", section + "\"Other\"=\"1\"\n", missing},
      {"value removed", section + "\"Version\"=\"1\"\n" + "\"version\"=-\n", missing},
      {"key deleted",
       section + "\"Version\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\software\\halvern\\tavori]\n", missing},
      {"malformed section ends the section",
       section + "[HKEY_LOCAL_MACHINE\\broken\n\"Version\"=\"1\"\n", missing},
      {"value before any section", "\"Version\"=\"1\"\n", missing},
      {"dword", section + "\"Version\"=dword:0000002a\n", unsupported},
      {"qword", section + "\"Version\"=hex(b):2a,00,00,00,00,00,00,00\n", unsupported},
      {"binary", section + "\"Version\"=hex:33,00,00,00\n", unsupported},
      {"multi string", section + "\"Version\"=hex(7):33,00,00,00,00,00\n", unsupported},
      {"none", section + "\"Version\"=hex(0):\n", unsupported},
  };
  for (const Case& c : cases) {
    for (Encoding encoding : {Encoding::kUtf8, Encoding::kUtf8Bom, Encoding::kUtf16}) {
      WriteRegistry(Encode(kHeader + c.body, encoding));
      EXPECT_EQ(Read(c.subkey, c.name), c.expected)
          << c.what << " (encoding " << static_cast<int>(encoding) << ")";
    }
  }
}

TEST_F(RegistryPosixTest, BufferCountsUtf16UnitsWithTheNul) {
  std::string emoji_259 = "x";
  for (int i = 0; i < 129; ++i) {
    emoji_259 += "\xF0\x9F\x98\x80";  // two UTF-16 units
  }
  const struct {
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
  for (const auto& c : cases) {
    for (Encoding encoding : {Encoding::kUtf8, Encoding::kUtf16}) {
      WriteRegistry(
          Encode(kHeader + std::string(kSection) + R"("Version"=")" + c.value + "\"\n", encoding));
      EXPECT_EQ(Read(kSubkey, kName, c.buffer), c.expected)
          << c.value.size() << " bytes in " << c.buffer;
    }
  }
  // Expansion may make a fitting value too long, and the stored text must fit as well.
  WriteRegistry(kHeader + std::string(kSection) + "\"n\"=hex(2):" + kExpandBytes + ",00,00\n");
  EXPECT_EQ(Read(kSubkey, L"n", 22), Ok("/opt/x"));
  EXPECT_EQ(Read(kSubkey, L"n", 21), Error(kErrorMoreData));
  ASSERT_EQ(setenv("TAVORI_REG_TEST_DIR", std::string(30, 'd').c_str(), 1), 0);
  EXPECT_EQ(Read(kSubkey, L"n", 30), Error(kErrorMoreData));
  EXPECT_EQ(Read(kSubkey, L"n", 31), Ok(std::string(30, 'd')));
}

TEST_F(RegistryPosixTest, WholeFilesOfEveryKindReadWithoutCrashing) {
  EXPECT_EQ(Read(), Error(kErrorFileNotFound)) << "no file";
  const std::string good = std::string(kHeader) + "; v\n" + kSection +
                           "\"Bin\"=hex:01,02,\\\n  03\n\"Version\"=\"3.2.0.1\"\n";
  const struct {
    const char* what;
    std::string bytes;
    std::string expected;
    std::wstring name = kName;
  } cases[] = {
      {"empty", "", Error(kErrorBadDb)},
      {"no header", std::string(kSection) + "\"Version\"=\"1\"\n", Error(kErrorBadDb)},
      {"other header", "Windows Registry Editor Version 6.00\n" + std::string(kSection),
       Error(kErrorBadDb)},
      {"binary garbage", std::string("\x00\xFF\xFE\x01[\"\\", 7), Error(kErrorBadDb)},
      {"UTF-16 without its mark", Encode(kHeader, Encoding::kUtf16).substr(2), Error(kErrorBadDb)},
      {"header only", kHeader, Error(kErrorFileNotFound)},
      {"continuation at the end", std::string(kHeader) + kSection + R"("x"=hex:01,\)",
       Error(kErrorFileNotFound)},
      // The older format keeps string data as eight-bit text.
      {"REGEDIT4", "REGEDIT4\n\n" + std::string(kSection) + "\"Version\"=\"4.0\"\n", Ok("4.0")},
      {"REGEDIT4 hex(1)", "REGEDIT4\n\n" + std::string(kSection) + "\"raw\"=hex(1):34,2e,31,00\n",
       Ok("4.1"), L"raw"},
  };
  for (const auto& c : cases) {
    WriteRegistry(c.bytes);
    EXPECT_EQ(Read(kSubkey, c.name), c.expected) << c.what;
  }

  // Every cut of a good file reads the whole value or none of it.
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
                             "  00,00\n@=dword:1\n\"Version\"=-\n" +
                             kSection + "\"Version\"=\"9\"\n";
  std::mt19937 random(20240601);
  for (int round = 0; round < 1000; ++round) {
    std::string bytes = Encode(varied, round % 2 == 0 ? Encoding::kUtf8 : Encoding::kUtf16);
    for (int i = 0, damage = 1 + static_cast<int>(random() % 8); i < damage; ++i) {
      bytes[random() % bytes.size()] = static_cast<char>(random() % 256);
    }
    WriteRegistry(bytes.substr(0, random() % (bytes.size() + 1)));
    const std::string got = Read();
    EXPECT_TRUE(got.starts_with("ok:") || got == Error(kErrorFileNotFound) ||
                got == Error(kErrorBadDb) || got == Error(kErrorUnsupportedType) ||
                got == Error(kErrorMoreData))
        << got << " in round " << round;
  }
}

TEST_F(RegistryPosixTest, OnlyARegularReadableFileOfBoundedSizeIsRead) {
  fs::create_directory(RegistryFile());
  EXPECT_EQ(Read(), Error(kErrorCantOpen)) << "a directory";
  fs::remove(RegistryFile());
  ASSERT_EQ(mkfifo(RegistryFile().c_str(), 0600), 0);
  EXPECT_EQ(Read(), Error(kErrorCantOpen)) << "a FIFO must not block";
  fs::remove(RegistryFile());
  WriteRegistry(std::string(kHeader) + kSection + "\"Version\"=\"1\"\n");
  fs::resize_file(RegistryFile(), (64 << 20) + 1);
  EXPECT_EQ(Read(), Error(kErrorBadDb)) << "larger than 64 MiB";

  WriteRegistry(std::string(kHeader) + kSection + "\"Version\"=\"1\"\n");
  ASSERT_EQ(chmod(RegistryFile().c_str(), geteuid() == 0 ? 0600 : 0), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(Read(), Error(kErrorAccessDenied));
    return;
  }
  // Root reads everything: read as an ordinary user in a child process instead.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
      _exit(100);
    }
    _exit(Read() == Error(kErrorAccessDenied) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace os
