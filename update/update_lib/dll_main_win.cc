// The DLL's entry point.  The library keeps no per-thread state, so it asks not to be told of
// thread starts and exits; everything else it creates on first use.  Runs under the loader lock:
// nothing here may load libraries or wait.
//
// At process exit (a detach with |reserved| set) Windows has already ended every other thread
// where it stood, before the runtime's exit handlers run: the library's handler must then not
// stop and join its network and file threads, which could wait forever on a lock a dead thread
// held.  On FreeLibrary the threads are alive and are stopped and joined as usual.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "base/threading/looper_thread.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    base::threading::LooperThread::AbandonAtExit();
  }
  return TRUE;
}
