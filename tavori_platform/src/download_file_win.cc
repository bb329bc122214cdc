#include "src/download_file_win.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tavorisdk::internal {
namespace {

constexpr DWORD kNoSharing = 0;
constexpr DWORD kReadBackBytes = 256 * 1024;

// Opens |path| without following a reparse point; the caller checks what it got.
HANDLE OpenNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A plain file (no directory, no reparse point) with a single link.
bool IsPlainFile(HANDLE handle, int64_t* size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    return false;
  }
  *size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

}  // namespace

std::unique_ptr<WinPartFile> WinPartFile::CreateFresh(const std::wstring& path, DWORD* error) {
  if (IsHeldElsewhere(path)) {
    *error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    *error = ::GetLastError();
    return nullptr;
  }
  // CREATE_NEW: whatever appears under the name in between makes this fail, never reused.
  HANDLE handle = OpenNoFollow(path, GENERIC_READ | GENERIC_WRITE | DELETE, kNoSharing, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = ::GetLastError();
    return nullptr;
  }
  return std::unique_ptr<WinPartFile>(new WinPartFile(handle, 0));
}

std::unique_ptr<WinPartFile> WinPartFile::OpenForResume(const std::wstring& path, int64_t limit,
                                                        DWORD* error) {
  HANDLE handle =
      OpenNoFollow(path, GENERIC_READ | GENERIC_WRITE | DELETE, kNoSharing, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = ::GetLastError();
    return nullptr;
  }
  int64_t size = 0;
  LARGE_INTEGER end{};
  if (!IsPlainFile(handle, &size) || size <= 0 || size >= limit) {
    *error = ERROR_INVALID_DATA;
  } else {
    auto file = std::unique_ptr<WinPartFile>(new WinPartFile(handle, size));
    // Hash what an earlier run left, once, from the handle that was checked.
    std::vector<char> buffer(kReadBackBytes);
    int64_t done = 0;
    DWORD got = 0;
    while (done < size && ::ReadFile(handle, buffer.data(), kReadBackBytes, &got, nullptr) &&
           got > 0) {
      file->hasher_.Update(buffer.data(), got);
      done += got;
    }
    end.QuadPart = size;
    if (done == size && ::SetFilePointerEx(handle, end, nullptr, FILE_BEGIN)) {
      return file;  // owns the handle now
    }
    *error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_READ_FAULT;
    return nullptr;
  }
  ::CloseHandle(handle);
  return nullptr;
}

bool WinPartFile::IsHeldElsewhere(const std::wstring& path) {
  HANDLE probe = OpenNoFollow(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
  if (probe == INVALID_HANDLE_VALUE) {
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
  }
  ::CloseHandle(probe);
  return false;
}

WinPartFile::~WinPartFile() { ::CloseHandle(handle_); }

bool WinPartFile::Write(const char* data, size_t bytes) {
  while (bytes > 0) {
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
    if (!::WriteFile(handle_, data, want, &written, nullptr)) {
      error_ = ::GetLastError();
      return false;
    }
    hasher_.Update(data, written);
    size_ += written;
    data += written;
    bytes -= written;
  }
  return true;
}

std::string WinPartFile::Finish() {
  if (!::FlushFileBuffers(handle_)) {
    error_ = ::GetLastError();
    return {};
  }
  return hasher_.Finish();
}

DWORD WinPartFile::RenameTo(const std::wstring& target) {
  const size_t name_bytes = target.size() * sizeof(wchar_t);
  std::vector<char> storage(sizeof(FILE_RENAME_INFO) + name_bytes + sizeof(wchar_t), 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(rename->FileName, target.c_str(), name_bytes);
  if (!::SetFileInformationByHandle(handle_, FileRenameInfo, rename,
                                    static_cast<DWORD>(storage.size()))) {
    return ::GetLastError();
  }
  return 0;
}

void WinPartFile::Remove() {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, sizeof(disposition));
}

int64_t FreeSpaceAt(const std::wstring& dir) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) {
    return -1;
  }
  return static_cast<int64_t>(available.QuadPart);
}

bool ReadPartInfoFile(const std::wstring& path, PartInfo* info) {
  HANDLE handle = OpenNoFollow(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::string text;
  int64_t size = 0;
  if (IsPlainFile(handle, &size)) {
    text.resize(kMaxPartInfoBytes);
    DWORD got = 0;
    if (!::ReadFile(handle, text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
      got = 0;
    }
    text.resize(got);
  }
  ::CloseHandle(handle);
  return ParsePartInfo(text, info);
}

bool WritePartInfoFile(const std::wstring& path, const PartInfo& info) {
  ::DeleteFileW(path.c_str());
  HANDLE handle = OpenNoFollow(path, GENERIC_WRITE, kNoSharing, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const std::string text = FormatPartInfo(info);
  DWORD written = 0;
  const bool ok =
      ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  return ::CloseHandle(handle) && ok;
}

}  // namespace tavorisdk::internal
