// The partial file of one download on Windows ("<save path>.part") and its record, named by full
// path.
//
// The file is created exclusively (CREATE_NEW, after removing what stood there) or reopened for a
// resume, always with no sharing at all (share mode 0) and without following a reparse point:
// for the whole job nobody else can open, write, rename or delete it, and a second job aiming at
// the same name sees it busy (ERROR_SHARING_VIOLATION).  Renaming and removing go through the
// job's own handle (SetFileInformationByHandle), so they reach exactly the file the job wrote,
// whatever its name leads to meanwhile.  A resumed file must be a regular file with one link.
//
// The MD5 of the bytes is computed as they are written, on the writer's thread.
//
// Threads: one thread (the network thread) uses an object; the static functions may run on any.

#ifndef TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_WIN_H_
#define TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_WIN_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "src/part_info.h"
#include "util/crypto/crypto.h"

namespace tavorisdk::internal {

class WinPartFile {
 public:
  // A new, empty file at |path|, replacing whatever was there.  Null, with |*error| (a Win32
  // error; ERROR_SHARING_VIOLATION when another job holds it), on failure.
  static std::unique_ptr<WinPartFile> CreateFresh(const std::wstring& path, DWORD* error);
  // The existing file at |path|, to append after what it holds (more than nothing, less than
  // |limit| bytes); the bytes on disk are hashed first.  Null with |*error| on failure
  // (ERROR_SHARING_VIOLATION: held elsewhere; ERROR_INVALID_DATA: not a plain file of the
  // right size).
  static std::unique_ptr<WinPartFile> OpenForResume(const std::wstring& path, int64_t limit,
                                                    DWORD* error);
  // Whether another job (in any process) holds the file at |path|.
  static bool IsHeldElsewhere(const std::wstring& path);

  ~WinPartFile();
  WinPartFile(const WinPartFile&) = delete;
  WinPartFile& operator=(const WinPartFile&) = delete;

  // Appends and hashes |bytes| at |data|; false (error() set) on a write error.
  bool Write(const char* data, size_t bytes);
  // Flushes the file to disk and returns the digest of all its bytes; empty on failure.
  std::string Finish();
  // Renames this very file to |target| (replacing it); 0 or a Win32 error.
  DWORD RenameTo(const std::wstring& target);
  // Removes this very file (when the handle closes).
  void Remove();

  int64_t size() const { return size_; }
  DWORD error() const { return error_; }

 private:
  WinPartFile(HANDLE handle, int64_t size) : handle_(handle), size_(size) {}

  HANDLE handle_;
  int64_t size_;
  DWORD error_ = 0;
  util::crypto::Md5Hasher hasher_;
};

// Bytes the caller may still write in the directory |dir| (GetDiskFreeSpaceExW), or -1.
int64_t FreeSpaceAt(const std::wstring& dir);

// The record beside a partial file, read and written by full path, never through a reparse
// point; the text form is part_info.h's.
bool ReadPartInfoFile(const std::wstring& path, PartInfo* info);
bool WritePartInfoFile(const std::wstring& path, const PartInfo& info);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_WIN_H_
