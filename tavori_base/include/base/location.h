// Where a task was posted from, for diagnostics.  A plain value; any thread.

#ifndef BASE_LOCATION_H_
#define BASE_LOCATION_H_

#include <string>

namespace base {

struct Location {
  std::string file;
  int line = 0;
  std::string function;

  std::string ToString() const { return file + ":" + std::to_string(line) + " " + function; }
};

}  // namespace base

#endif  // BASE_LOCATION_H_
