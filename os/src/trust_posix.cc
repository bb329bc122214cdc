#include <memory>

#include "authenticode/authenticode.h"
#include "os/trust.h"
#include "os/utf.h"
#include "src/internal/environment_posix.h"

namespace os {
namespace {

// CertGetNameStringW's cut: the text before the first NUL, at most |max_units| UTF-16 code units. A
// character that would straddle the limit is dropped whole.
std::wstring CutToUtf16Units(std::wstring name, size_t max_units) {
  const size_t nul = name.find(L'\0');
  if (nul != std::wstring::npos) {
    name.resize(nul);
  }
  size_t units = 0;
  size_t keep = 0;
  for (; keep < name.size(); ++keep) {
    const size_t width = sizeof(wchar_t) > 2 && static_cast<uint32_t>(name[keep]) > 0xFFFF ? 2 : 1;
    if (units + width > max_units) {
      break;
    }
    units += width;
  }
  name.resize(keep);
  return name;
}

}  // namespace

std::wstring GetVerifiedSignerName(const InstallerFile& file) {
  if (!file.is_open()) {
    return {};
  }
  const std::unique_ptr<authenticode::TrustStore> trust =
      authenticode::TrustStore::LoadBundleOrSystemDefault(
          internal::SystemPath(posix::kTrustBundleRelativePath));
  if (trust == nullptr) {
    return {};
  }
  const authenticode::VerifyResult result =
      authenticode::VerifyDescriptor(static_cast<int>(file.native_handle()), *trust);
  if (!result.ok()) {
    return {};
  }
  return CutToUtf16Units(Utf8ToWide(result.signer_name), kMaxSignerNameUnits);
}

}  // namespace os
