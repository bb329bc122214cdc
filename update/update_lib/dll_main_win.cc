// The DLL's entry point.  The library keeps no per-thread state, so it asks not to be told of
// thread starts and exits; everything else it creates on first use.  Runs under the loader lock:
// nothing here may load libraries or wait.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
