// Authenticode trust through WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2, no user
// interface, no revocation checks), the WTHelper* walk to the signing certificate and
// CertGetNameStringW.  The file is verified through the handle the InstallerFile holds
// (WINTRUST_FILE_INFO.hFile, beside its path), so what is checked is what was opened.
// Any thread; the verification state lives only within one call.

// clang-format off
#include "src/internal/win32.h"
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include "os/trust.h"

namespace os {
namespace {

// The name buffer: 400 wide characters, of which 399 (the NUL included) are offered.
constexpr DWORD kNameBufferChars = 400;
constexpr DWORD kNameOfferedChars = kNameBufferChars - 1;
static_assert(kNameOfferedChars - 1 == kMaxSignerNameUnits);

// The simple display name of the signing certificate recorded in a verification state.
std::wstring SignerNameFromState(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(state);
  if (provider == nullptr) {
    return {};
  }
  CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) {
    return {};
  }
  CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
  if (certificate == nullptr || certificate->pCert == nullptr) {
    return {};
  }
  wchar_t name[kNameBufferChars] = {};
  ::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                       kNameOfferedChars);
  return std::wstring(name);
}

}  // namespace

std::wstring GetVerifiedSignerName(const InstallerFile& file) {
  if (!file.is_open()) {
    return {};
  }
  auto* const handle = reinterpret_cast<HANDLE>(file.native_handle());
  // The verifier reads through the handle; start it at the file's beginning.
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return {};
  }

  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof(file_info);
  file_info.pcwszFilePath = file.path().c_str();
  file_info.hFile = handle;
  file_info.pgKnownSubject = nullptr;

  // Every member not set here is zero.  mingw-w64's WINTRUST_DATA ends at dwUIContext (it has no
  // pSignatureSettings), which changes nothing for this verification.
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.pPolicyCallbackData = nullptr;
  data.pSIPClientData = nullptr;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.hWVTStateData = nullptr;
  data.pwszURLReference = nullptr;
  data.dwProvFlags = WTD_SAFER_FLAG | WTD_REVOCATION_CHECK_NONE;
  data.dwUIContext = 0;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  auto* const no_window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG verdict = ::WinVerifyTrust(no_window, &action, &data);
  std::wstring name;
  if (verdict == 0) {
    name = SignerNameFromState(data.hWVTStateData);
  }
  // Whatever the verdict, the state of a WTD_STATEACTION_VERIFY call is released.
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(no_window, &action, &data);
  return name;
}

}  // namespace os
