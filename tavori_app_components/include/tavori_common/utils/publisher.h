// The publishers whose installers the client accepts: the Authenticode signer names of the maker's
// code-signing certificates.  Pure; any thread.

#ifndef TAVORI_COMMON_UTILS_PUBLISHER_H_
#define TAVORI_COMMON_UTILS_PUBLISHER_H_

#include <algorithm>
#include <iterator>
#include <string_view>

namespace tavori_common::utils::publisher {

// The maker's legal name, with and without the blank before the parenthesis; both forms appear
// in its certificates.  Compared exactly, code unit by code unit.
inline constexpr std::wstring_view kAcceptedPublishers[] = {
    L"Halvern Technology(Ostervik) Company Limited",
    L"Halvern Technology (Ostervik) Company Limited",
};

// Whether |signer_name| is exactly one of kAcceptedPublishers; "" never is.
inline bool IsAcceptedPublisher(std::wstring_view signer_name) {
  return std::find(std::begin(kAcceptedPublishers), std::end(kAcceptedPublishers), signer_name) !=
         std::end(kAcceptedPublishers);
}

}  // namespace tavori_common::utils::publisher

#endif  // TAVORI_COMMON_UTILS_PUBLISHER_H_
