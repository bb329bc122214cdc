#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "os/posix/scoped_fd.h"
#include "os/registry.h"
#include "os/utf.h"
#include "src/internal/environment_posix.h"
#include "src/internal/reg_file_posix.h"

namespace os {
namespace {

// Larger registry files are refused rather than read into memory.
constexpr off_t kMaxRegistryFileSize = 64 << 20;

using internal::RegFileValue;
using posix::ScopedFd;

// The name of |root|: the first component of its key paths and the name of its file.
std::string RootName(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kLocalMachine:
      break;
  }
  return "HKEY_LOCAL_MACHINE";
}

Result<std::string> ReadRegistryFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
        // No file: no key, as Windows reports a key that is not there.
        return Result<std::string>::Failure(kErrorFileNotFound);
      case EACCES:
      case EPERM:
        return Result<std::string>::Failure(kErrorAccessDenied);
      default:
        return Result<std::string>::Failure(kErrorCantOpen);
    }
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Result<std::string>::Failure(kErrorCantOpen);
  }
  if (st.st_size > kMaxRegistryFileSize) {
    return Result<std::string>::Failure(kErrorBadDb);
  }
  std::string bytes;
  char buffer[16384];
  while (true) {
    const ssize_t got = read(fd.get(), buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Result<std::string>::Failure(kErrorCantRead);
    }
    if (got == 0) {
      break;
    }
    bytes.append(buffer, static_cast<size_t>(got));
    // The file may grow while it is read; the limit holds for what is read,
    // too.
    if (bytes.size() > static_cast<size_t>(kMaxRegistryFileSize)) {
      return Result<std::string>::Failure(kErrorBadDb);
    }
  }
  return bytes;
}

// The string data of a REG_SZ or REG_EXPAND_SZ value, up to its first NUL, and
// the number of UTF-16 units the whole data takes with a terminating NUL
// (RegGetValueW adds one when the stored data lacks it).
struct StoredString {
  std::wstring text;
  size_t units_with_nul = 0;
};

StoredString ReadStoredString(const RegFileValue& value) {
  const std::string_view bytes(reinterpret_cast<const char*>(value.data.data()), value.data.size());
  StoredString stored;
  const size_t units = (bytes.size() + 1) / 2;
  const bool terminated =
      units > 0 && bytes[(units - 1) * 2] == 0 && (bytes.size() % 2 == 1 || bytes.back() == 0);
  stored.units_with_nul = units + (terminated ? 0 : 1);
  stored.text = internal::Utf16LeToWide(bytes);
  const size_t nul = stored.text.find(L'\0');
  if (nul != std::wstring::npos) {
    stored.text.resize(nul);
  }
  return stored;
}

// ExpandEnvironmentStringsW over this process's environment: each %NAME% of a
// set variable is replaced by its value; anything else stays as written.
std::wstring ExpandEnvironmentStrings(std::wstring_view text) {
  std::wstring out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find(L'%', pos);
    if (open == std::wstring_view::npos) {
      break;
    }
    const size_t close = text.find(L'%', open + 1);
    if (close == std::wstring_view::npos) {
      break;
    }
    out.append(text.substr(pos, open - pos));
    const std::wstring_view name = text.substr(open + 1, close - open - 1);
    const std::string narrow_name = WideToUtf8(name);
    const char* value = name.empty() || narrow_name.find('=') != std::string::npos
                            ? nullptr
                            : std::getenv(narrow_name.c_str());
    if (value != nullptr) {
      out += Utf8ToWide(value);
    } else {
      out.append(text.substr(open, close - open + 1));
    }
    pos = close + 1;
  }
  out.append(text.substr(std::min(pos, text.size())));
  return out;
}

}  // namespace

Result<std::wstring> RegGetString(RegistryRoot root, std::wstring_view subkey,
                                  std::wstring_view value_name, size_t buffer_chars) {
  const std::string root_name = RootName(root);
  Result<std::string> file =
      ReadRegistryFile(internal::SystemRoot() + "/registry/" + root_name + ".reg");
  if (!file.ok()) {
    return Result<std::wstring>::Failure(file.error());
  }
  std::wstring key = Utf8ToWide(root_name) + L"\\";
  key.append(subkey);
  const internal::RegFileLookup lookup =
      internal::LookUpRegFileValue(file.value(), key, value_name);
  if (!lookup.recognised) {
    return Result<std::wstring>::Failure(kErrorBadDb);
  }
  if (!lookup.value.has_value()) {
    return Result<std::wstring>::Failure(kErrorFileNotFound);
  }
  const RegFileValue& value = *lookup.value;
  if (value.type != internal::kRegSz && value.type != internal::kRegExpandSz) {
    return Result<std::wstring>::Failure(kErrorUnsupportedType);
  }
  StoredString stored = ReadStoredString(value);
  if (stored.units_with_nul > buffer_chars) {
    return Result<std::wstring>::Failure(kErrorMoreData);
  }
  if (value.type == internal::kRegExpandSz) {
    stored.text = ExpandEnvironmentStrings(stored.text);
    if (internal::Utf16Length(stored.text) + 1 > buffer_chars) {
      return Result<std::wstring>::Failure(kErrorMoreData);
    }
  }
  return std::move(stored.text);
}

}  // namespace os
