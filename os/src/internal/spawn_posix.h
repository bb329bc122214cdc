// The OS layer's own files reach the program starter (os/posix/spawn.h) under the names they
// have always used.  Private to the OS layer.

#ifndef OS_SRC_INTERNAL_SPAWN_POSIX_H_
#define OS_SRC_INTERNAL_SPAWN_POSIX_H_

#include "os/posix/spawn.h"

namespace os::internal {

using posix::ClassifyProgram;
using posix::FindOnPath;
using posix::ProgramKind;
using posix::ShellErrorFromErrno;
using posix::SpawnCredentials;
using posix::SpawnOptions;
using posix::StartProgram;
using posix::StartProgramFromDescriptor;

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_SPAWN_POSIX_H_
