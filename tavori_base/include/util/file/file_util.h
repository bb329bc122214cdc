// File-system helpers.  Any thread.

#ifndef UTIL_FILE_FILE_UTIL_H_
#define UTIL_FILE_FILE_UTIL_H_

#include <string>

namespace util::file {

// The directory |child| under |parent| (UTF-8 paths), created with any missing parents, as a path
// that ends in the platform's separator.  The path is returned even when the directory could not
// be created (a record at level 3 says why); whoever uses it then fails on it.
std::string MakeChildDirPath(const std::string& parent, const std::string& child);

}  // namespace util::file

#endif  // UTIL_FILE_FILE_UTIL_H_
