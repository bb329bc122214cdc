// The smallest host: installs a delegate and sends a command the library must refuse, so that
// the run proves the header, the link and the loaded library fit together.
#include <cstdio>

#include "update_lib.h"

namespace {
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor): final, never deleted via a base
class Delegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override {
    std::printf("event %s\n", event.c_str());
  }
};
}  // namespace

int main() {
  static Delegate delegate;
  SetUpdateDelegate(&delegate);
  const int result = DoUpdateOperation(R"({"version":"1.0","command":"nonsense","token":1})");
  std::printf("result %d\n", result);
  SetUpdateDelegate(nullptr);
  return result == UpdateLib::kResultUnknownCommand ? 0 : 1;
}
