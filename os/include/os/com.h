// COM, as far as the update library uses it: initialising COM on a thread and creating the
// privileged installer service's object in its local server (CoInitialize, CoCreateInstance with
// CLSCTX_LOCAL_SERVER), then calling its one method.
//
// HRESULTs keep their Windows values on every backend.  The POSIX backend stands in for the local
// server with the privileged installer service (tavori-installer-service), reached over the Unix
// socket <system root>/run/privileged-installer.sock: creating the object connects to it.
// Any thread; an instance belongs to one thread at a time.

#ifndef OS_COM_H_
#define OS_COM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace os::com {

using HResult = int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kENotImpl = static_cast<HResult>(0x80004001);
inline constexpr HResult kENoInterface = static_cast<HResult>(0x80004002);
inline constexpr HResult kEPointer = static_cast<HResult>(0x80004003);
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFF);
inline constexpr HResult kEAccessDenied = static_cast<HResult>(0x80070005);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);
inline constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057);
inline constexpr HResult kRegdbEClassNotReg = static_cast<HResult>(0x80040154);
inline constexpr HResult kCoEServerExecFailure = static_cast<HResult>(0x80080005);
// The server went away during a call (RPC_E_DISCONNECTED), or did not answer in time.
inline constexpr HResult kRpcEDisconnected = static_cast<HResult>(0x80010108);
inline constexpr HResult kRpcETimeout = static_cast<HResult>(0x8001011F);
// A file's hash is not the expected one (CRYPT_E_HASH_VALUE).
inline constexpr HResult kCryptEHashValue = static_cast<HResult>(0x80091007);

// Trust verdicts, as WinVerifyTrust reports them.
inline constexpr HResult kTrustESubjectFormUnknown = static_cast<HResult>(0x800B0003);
inline constexpr HResult kTrustESubjectNotTrusted = static_cast<HResult>(0x800B0004);
inline constexpr HResult kTrustENoSignature = static_cast<HResult>(0x800B0100);
inline constexpr HResult kTrustEBadDigest = static_cast<HResult>(0x80096010);
inline constexpr HResult kNteBadSignature = static_cast<HResult>(0x80090006);
inline constexpr HResult kNteBadAlgId = static_cast<HResult>(0x80090008);
inline constexpr HResult kCertEExpired = static_cast<HResult>(0x800B0101);
inline constexpr HResult kCertEUntrustedRoot = static_cast<HResult>(0x800B0109);
inline constexpr HResult kCertEWrongUsage = static_cast<HResult>(0x800B0110);

// HRESULT_FROM_WIN32: 0 stays S_OK; any other Win32 error number becomes a failure of the
// FACILITY_WIN32 facility.
constexpr HResult HResultFromWin32(uint32_t error) {
  constexpr uint32_t kFacilityWin32Failure = 0x80070000u;
  constexpr uint32_t kCodeMask = 0xFFFFu;
  return error == 0 ? kSOk : static_cast<HResult>(kFacilityWin32Failure | (error & kCodeMask));
}

// |hr| as 0x%08X, for log records.  Pure.
std::string HResultText(HResult hr);

inline bool Failed(HResult hr) { return hr < 0; }

// A class or interface identifier.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  bool operator==(const Guid& other) const = default;
};

// The privileged installer service's class (CLSID_PrivilegedInstaller) and its one interface
// (IID_IPrivilegedInstaller).
inline constexpr Guid kPrivilegedInstallerClassId = {
    0x3D5A1C72, 0x8E4B, 0x4F09, {0xB6, 0xA1, 0x52, 0xC7, 0xE9, 0xD0, 0x4A, 0x18}};
inline constexpr Guid kPrivilegedInstallerInterfaceId = {
    0xA6E2F931, 0x07BD, 0x4C58, {0x9E, 0x3A, 0xD4, 0x1B, 0x8F, 0x65, 0x27, 0xC0}};

// |guid| in registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.  Pure.
std::string GuidText(const Guid& guid);

// CoInitialize(NULL) on the calling thread.  The library never uninitialises it.
HResult Initialize();

// The privileged installer's interface (IPrivilegedInstaller: IDispatch-based; ExecInstall is the
// eighth entry of its table).  Destroying the object releases it.
class PrivilegedInstaller {
 public:
  virtual ~PrivilegedInstaller() = default;

  // Asks the service to start the installer at |path| with |parameters|, after checking that the
  // file's MD5 is |md5|, in session |session_id|; |mode| is passed through (the library passes 1).
  // S_OK only when the installer was started.  The POSIX backend opens |path| itself, with this
  // process's rights, and hands the open file to the service; a file it cannot open fails with
  // HRESULT_FROM_WIN32 of the open's error (0x80070002 not found, E_ACCESSDENIED, ...).
  virtual HResult ExecInstall(std::wstring_view path, std::wstring_view parameters,
                              std::wstring_view md5, uint32_t session_id, uint32_t mode) = 0;
};

// CoCreateInstance(|clsid|, no outer object, CLSCTX_LOCAL_SERVER, |iid|).  On success stores the
// object in |*instance| and returns a non-negative HRESULT; otherwise returns the failure
// (REGDB_E_CLASSNOTREG: no such server; CO_E_SERVER_EXEC_FAILURE: it does not answer;
// E_ACCESSDENIED: the caller may not use it; E_NOINTERFACE: it lacks |iid|).
HResult CreatePrivilegedInstaller(const Guid& clsid, const Guid& iid,
                                  std::unique_ptr<PrivilegedInstaller>* instance);

}  // namespace os::com

#endif  // OS_COM_H_
