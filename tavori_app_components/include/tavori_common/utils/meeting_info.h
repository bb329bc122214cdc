// Facts about the installed meeting client.  Pure functions; any thread.

#ifndef TAVORI_COMMON_UTILS_MEETING_INFO_H_
#define TAVORI_COMMON_UTILS_MEETING_INFO_H_

#include <string>

namespace tavori_common::utils::meeting_info {

// The client's product version: four dot-separated numbers, such as "3.2.0.1", fixed when the
// client is built.
std::string GetProductVersion();

}  // namespace tavori_common::utils::meeting_info

#endif  // TAVORI_COMMON_UTILS_MEETING_INFO_H_
