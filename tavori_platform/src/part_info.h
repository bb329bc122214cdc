// The record beside a partial download ("<save path>.part.info"): the URL, MD5, size and the
// validator (strong ETag or Last-Modified) that the partial bytes belong to.  A later download
// resumes the partial file only when its own URL, MD5 and size match the record.
//
// The record is a short text file, "tavori-part 1" on the first line, then one "key value" line
// each for url, md5, size and validator; unknown keys are skipped.  The text form is shared by
// both backends; the file functions are each platform's (the POSIX ones below name the file
// relative to a directory descriptor and never follow a link).  Any thread.

#ifndef TAVORI_PLATFORM_SRC_PART_INFO_H_
#define TAVORI_PLATFORM_SRC_PART_INFO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavorisdk::internal {

struct PartInfo {
  std::string url;
  std::string md5;
  int64_t size = -1;
  std::string validator;
};

// The most of a record that is read; the rest is ignored.
inline constexpr size_t kMaxPartInfoBytes = 64 * 1024;

// The record as text, and back; ParsePartInfo is false when |text| lacks the first line or one of
// the four keys.  At most kMaxPartInfoBytes of a file are ever parsed.
std::string FormatPartInfo(const PartInfo& info);
bool ParsePartInfo(std::string_view text, PartInfo* info);

// Reads the record |name| in |dir_fd| when it is a regular file of the effective user; false
// when there is none, it is someone else's, or it lacks one of the four keys.
bool ReadPartInfo(int dir_fd, const std::string& name, PartInfo* info);

// Replaces |name| in |dir_fd| with a new record, mode 0600.
bool WritePartInfo(int dir_fd, const std::string& name, const PartInfo& info);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_PART_INFO_H_
