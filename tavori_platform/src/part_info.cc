#include "src/part_info.h"

#include <cstdlib>
#include <sstream>

namespace tavorisdk::internal {
namespace {

constexpr char kPartInfoMagic[] = "tavori-part 1";
// One bit per key of the record; a record is whole with all four.
constexpr unsigned kUrlSeen = 1;
constexpr unsigned kMd5Seen = 2;
constexpr unsigned kSizeSeen = 4;
constexpr unsigned kValidatorSeen = 8;
constexpr unsigned kAllSeen = kUrlSeen | kMd5Seen | kSizeSeen | kValidatorSeen;

}  // namespace

std::string FormatPartInfo(const PartInfo& info) {
  std::ostringstream out;
  out << kPartInfoMagic << "\nurl " << info.url << "\nmd5 " << info.md5 << "\nsize " << info.size
      << "\nvalidator " << info.validator << "\n";
  return out.str();
}

bool ParsePartInfo(std::string_view text, PartInfo* info) {
  std::istringstream in{std::string(text)};
  std::string line;
  if (!std::getline(in, line) || line != kPartInfoMagic) {
    return false;
  }
  // A key named twice counts once: the later line wins, and the record must still name every key.
  unsigned seen = 0;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "url") {
      info->url = value;
      seen |= kUrlSeen;
    } else if (key == "md5") {
      info->md5 = value;
      seen |= kMd5Seen;
    } else if (key == "size") {
      info->size = std::strtoll(value.c_str(), nullptr, 10);
      seen |= kSizeSeen;
    } else if (key == "validator") {
      info->validator = value;
      seen |= kValidatorSeen;
    }
  }
  return seen == kAllSeen;
}

}  // namespace tavorisdk::internal
