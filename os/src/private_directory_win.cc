// EnsurePrivateDirectory on Windows: the directory is created with a protected DACL that grants
// the current user alone full control (inherited by what is made inside), and on every call what
// stands at the path is opened without following a reparse point and judged by its handle: a
// directory, owned by the user (or by the owner the user's token gives new objects), whose DACL
// lets nobody else write, delete or change it (the system and the administrators, who can take any
// file anyway, are not counted). Any thread; nothing is cached.

// clang-format off
#include "src/internal/win32.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <memory>
#include <vector>

#include "os/folders.h"

namespace os {
namespace {

// What lets a holder change a directory's contents, its name or its protection.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                        FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle_);
    }
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// A SID of the process token (TokenUser: the user; TokenOwner: the owner given to new objects,
// the Administrators group for an elevated administrator), copied into |storage|.
PSID TokenSid(TOKEN_INFORMATION_CLASS what, std::vector<BYTE>* storage) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return nullptr;
  }
  const ScopedHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), what, nullptr, 0, &size);
  if (size == 0) {
    return nullptr;
  }
  storage->assign(size, 0);
  if (!::GetTokenInformation(token.get(), what, storage->data(), size, &size)) {
    return nullptr;
  }
  return what == TokenUser ? reinterpret_cast<TOKEN_USER*>(storage->data())->User.Sid
                           : reinterpret_cast<TOKEN_OWNER*>(storage->data())->Owner;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return ::IsWellKnownSid(sid, type) != FALSE;
}

// Creates |path| with a protected DACL granting |user| full control, inherited by its contents.
ErrorCode CreateOwnerOnly(const std::wstring& path, PSID user) {
  const DWORD acl_size =
      sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(user) - sizeof(DWORD);
  std::vector<BYTE> acl_storage(acl_size, 0);
  auto* acl = reinterpret_cast<ACL*>(acl_storage.data());
  SECURITY_DESCRIPTOR descriptor{};
  if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               FILE_ALL_ACCESS, user) ||
      !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return internal::LastError();
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;
  if (!::CreateDirectoryW(path.c_str(), &attributes)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS ? kErrorSuccess : internal::LastError();
  }
  return kErrorSuccess;
}

}  // namespace

ErrorCode EnsurePrivateDirectory(const std::wstring& path) {
  std::wstring name = path.substr(0, path.find(L'\0'));
  while (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) {
    name.pop_back();
  }
  std::vector<BYTE> user_storage;
  std::vector<BYTE> owner_storage;
  const PSID user = TokenSid(TokenUser, &user_storage);
  const PSID default_owner = TokenSid(TokenOwner, &owner_storage);
  if (user == nullptr || default_owner == nullptr) {
    return internal::LastError(kErrorAccessDenied);
  }
  if (const ErrorCode created = CreateOwnerOnly(name, user); created != kErrorSuccess) {
    return created;
  }

  // Judge what was opened, not the name: a reparse point (link, junction) is opened itself.
  const ScopedHandle directory(
      ::CreateFileW(name.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!directory.valid()) {
    return internal::LastError();
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(directory.get(), &info)) {
    return internal::LastError();
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return kErrorAccessDenied;
  }

  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = ::GetSecurityInfo(directory.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    return static_cast<ErrorCode>(status);
  }
  const std::unique_ptr<void, decltype(&::LocalFree)> release(descriptor, &::LocalFree);
  if (owner == nullptr || (!::EqualSid(owner, user) && !::EqualSid(owner, default_owner)) ||
      dacl == nullptr) {
    // Someone else's directory, or a null DACL (everybody may do everything).
    return kErrorAccessDenied;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(dacl, index, &entry)) {
      return internal::LastError();
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChangingRights) == 0 || ::EqualSid(grantee, user) ||
        IsWellKnown(grantee, WinLocalSystemSid) ||
        IsWellKnown(grantee, WinBuiltinAdministratorsSid)) {
      continue;
    }
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

}  // namespace os
