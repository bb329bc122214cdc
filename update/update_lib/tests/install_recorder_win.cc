// A stand-in installer for the DLL's install test under Wine, signed at build time: it records
// that it ran and with which arguments, then tells the waiting test.  Started as
//
//   install_recorder RECORD EVENT [ARGUMENTS...]
//
// it writes its arguments, one a line, to the file RECORD, then sets the named event EVENT (which
// the test created).  Single-threaded.

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    return 2;
  }
  std::FILE* record = std::fopen(argv[1], "wb");
  if (record == nullptr) {
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    std::fprintf(record, "%s\n", argv[i]);
  }
  const bool written = std::fclose(record) == 0;
  const HANDLE ran = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ran == nullptr) {
    return 1;
  }
  ::SetEvent(ran);
  ::CloseHandle(ran);
  return written ? 0 : 1;
}
