// The fault matrix's record of itself.  Each fault-matrix case that passes calls
// fault_table::Record with the fault it injected, what the host saw and what was left on disk;
// scripts/fault-table runs the matrix with TAVORI_FAULT_TABLE naming a file, and renders the
// collected rows into the README's table, so the table only ever lists checked outcomes.
//
// Thread-safe and process-safe: every row is one append (O_APPEND) of one line, so parallel
// test processes can share the file.  Without TAVORI_FAULT_TABLE in the environment, Record
// does nothing.

#ifndef UPDATE_UPDATE_LIB_TESTS_FAULT_TABLE_H_
#define UPDATE_UPDATE_LIB_TESTS_FAULT_TABLE_H_

#include <string_view>

namespace fault_table {

struct Row {
  // Groups rows in the README: "update service", "package server", "disk", "configuration",
  // "installer service", "host".
  std::string_view area;
  std::string_view fault;      // what the test did, e.g. "cuts the transfer five times"
  std::string_view host_sees;  // events and result codes, e.g. "\"download\" with result 9"
  std::string_view on_disk;    // e.g. "no file at the target; the partial file kept"
};

// Appends |row| as "area<TAB>fault<TAB>host_sees<TAB>on_disk<LF>".  Call it after the case's
// assertions, so that a failed case records nothing.
void Record(const Row& row);

}  // namespace fault_table

#endif  // UPDATE_UPDATE_LIB_TESTS_FAULT_TABLE_H_
