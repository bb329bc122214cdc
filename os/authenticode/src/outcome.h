// Shorthands for the steps of a verification, each of which returns a VerifyResult whose status is
// kOk when the step passed. Private to the component.

#ifndef AUTHENTICODE_SRC_OUTCOME_H_
#define AUTHENTICODE_SRC_OUTCOME_H_

#include <string>
#include <utility>

#include "authenticode/authenticode.h"

namespace authenticode::internal {

inline VerifyResult Passed() { return VerifyResult{Status::kOk, {}, {}}; }

inline VerifyResult Fail(Status status, std::string detail) {
  return VerifyResult{status, {}, std::move(detail)};
}

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_OUTCOME_H_
