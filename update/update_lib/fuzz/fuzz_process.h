// Set-up shared by the update library's fuzz targets: the process gets places of its own and no
// network, so that whatever a fuzzed command or answer asks for stays cheap and local.

#ifndef UPDATE_UPDATE_LIB_FUZZ_FUZZ_PROCESS_H_
#define UPDATE_UPDATE_LIB_FUZZ_FUZZ_PROCESS_H_

#include <string>

namespace update_fuzz {

// Once per process, before the library is first used (LLVMFuzzerInitialize):
//   - a fresh private directory under the system's temporary directory becomes the user's
//     configuration, state and temporary folders and the machine root, whose registry file
//     says the silently installed version is 3.2.0.1;
//   - the process moves into a network namespace of its own, in which no address is reachable
//     (loopback included, as it is down): a fuzzed URL fails at once, without leaving the host.
// Aborts with a message when either step fails, rather than fuzz with the network reachable.
// Returns the private directory.
std::string PrepareIsolatedProcess();

}  // namespace update_fuzz

#endif  // UPDATE_UPDATE_LIB_FUZZ_FUZZ_PROCESS_H_
