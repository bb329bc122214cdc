#include "src/part_info.h"

#include <cstdlib>
#include <sstream>

namespace tavorisdk::internal {
namespace {

constexpr char kPartInfoMagic[] = "tavori-part 1";
constexpr int kPartInfoKeys = 4;

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
  int seen = 0;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "url") {
      info->url = value;
    } else if (key == "md5") {
      info->md5 = value;
    } else if (key == "size") {
      info->size = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "validator") {
      info->validator = value;
    } else {
      continue;
    }
    ++seen;
  }
  return seen == kPartInfoKeys;
}

}  // namespace tavorisdk::internal
