// An installer held open from before its signature is checked until it has been started, so that
// the file that is checked is the file that runs, whatever happens to the file or its name
// meanwhile.
//
// Open it once, check it with GetVerifiedSignerName (os/trust.h) and start it with ShellExecute
// (os/shell.h), all on the same object:
//
//   const os::InstallerFile installer = os::InstallerFile::Open(path);
//   if (IsAccepted(os::GetVerifiedSignerName(installer))) {
//     os::ShellExecute(installer, parameters);
//   }
//
// The POSIX backend reads a regular file once, when it is opened, into a sealed memory file
// (memfd) that nobody can change, and checks and starts that copy: neither a rename nor a write to
// the file afterwards changes what is checked or what runs.  The copy takes memory the size of the
// installer until the object and the started program are done with it; files above 2 GiB are
// refused.  The Windows backend holds a handle opened with FILE_SHARE_READ only, which keeps
// others from writing, renaming or deleting the file while it is open (and fails while someone
// has it open for writing); the checks and the start go through the path while that handle is
// held (WINTRUST_FILE_INFO names both the path and the handle).
//
// An object belongs to one thread at a time; the functions that take it only read it.

#ifndef OS_INSTALLER_FILE_H_
#define OS_INSTALLER_FILE_H_

#include <cstdint>
#include <string>
#include <utility>

namespace os {

class InstallerFile {
 public:
  // Opens the file at |path| (which ends at its first NUL, as a Windows call reads it) for reading.
  // A file that cannot be opened still gives an object: not open, remembering why, so that the
  // signature check fails and a start reports the error the shell would.
  static InstallerFile Open(const std::wstring& path);

  InstallerFile(InstallerFile&& other) noexcept
      : path_(std::move(other.path_)), native_(other.native_), open_error_(other.open_error_) {
    other.native_ = kNotOpen;
  }
  InstallerFile& operator=(InstallerFile&& other) noexcept {
    if (this != &other) {
      CloseNative(native_);
      path_ = std::move(other.path_);
      native_ = other.native_;
      open_error_ = other.open_error_;
      other.native_ = kNotOpen;
    }
    return *this;
  }
  InstallerFile(const InstallerFile&) = delete;
  InstallerFile& operator=(const InstallerFile&) = delete;
  ~InstallerFile() { CloseNative(native_); }

  // The path as given to Open, up to its first NUL.
  const std::wstring& path() const { return path_; }
  bool is_open() const { return native_ != kNotOpen; }
  // When not open: ShellExecute's error value for the failed open (kShellErrorFileNotFound,
  // kShellErrorPathNotFound, kShellErrorAccessDenied, kShellErrorOutOfMemory, and on POSIX
  // kShellErrorNoAssociation for what is not a regular file; see os/shell.h).
  uintptr_t open_error() const { return open_error_; }
  // For the OS layer's backends: the descriptor of the sealed copy (POSIX) or the HANDLE value
  // (Windows); -1 (the value of INVALID_HANDLE_VALUE too) when not open.  Owned by this object.
  intptr_t native_handle() const { return native_; }

 private:
  static constexpr intptr_t kNotOpen = -1;

  InstallerFile(std::wstring path, intptr_t native, uintptr_t open_error)
      : path_(std::move(path)), native_(native), open_error_(open_error) {}

  // Closes |native| unless it is kNotOpen.  Per backend.
  static void CloseNative(intptr_t native);

  std::wstring path_;
  intptr_t native_ = kNotOpen;
  uintptr_t open_error_ = 0;
};

}  // namespace os

#endif  // OS_INSTALLER_FILE_H_
