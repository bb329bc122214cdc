#include "base/check.h"

#include <cstdio>
#include <cstdlib>

#include "base/log/log.h"

namespace base::internal {
namespace {
constexpr char kLogSource[] = "base_check";
}  // namespace

void DcheckFailed(const char* file, int line, const char* condition) {
  BASE_LOG(log::kLevelFailure) << "check failed at " << file << ":" << line << ": " << condition;
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace base::internal
