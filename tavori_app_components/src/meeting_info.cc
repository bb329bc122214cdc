#include "tavori_common/utils/meeting_info.h"

#include "product_version.h"

namespace tavori_common::utils::meeting_info {

std::string GetProductVersion() { return kProductVersion; }

}  // namespace tavori_common::utils::meeting_info
