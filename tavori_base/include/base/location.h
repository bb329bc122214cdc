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

// The location of the code that names it, for posting tasks: never written by hand, so it cannot
// name a line that the code has left.
#define FROM_HERE \
  ::base::Location { __FILE__, __LINE__, __func__ }

#endif  // BASE_LOCATION_H_
