// The product's start-up hook, run before the sender reads its command line: it
// brings the process PATH up to date with the system-wide "Path" of the machine
// registry store, then calls the optional start-up library "PROLOGUE"
// (libprologue.so) when it is there. Every failure is silent: the start-up goes on
// with PATH as it was, and a missing library is simply absent.
// Thread-safety: run once, before anything else, in the single thread.
#ifndef QXTRAP_STARTUP_H
#define QXTRAP_STARTUP_H

#include <string>

namespace qx::qxtrap {

// The machine key that holds the system-wide environment.
inline constexpr const char* kSystemEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Calls update_path, then the prologue library's "QXStartGlobalPrologueDLL" with the
// three pointers. Returns 1 when the routine was found and called, else 0.
int start_prologue(void* arg1, void* arg2, void* arg3);

// Merges the system "Path" into the process PATH (see PathAfterUpdate).
void update_path();

// True when the process runs as the system account (effective user id 0). The
// answer is remembered. *error is left as it is (the query cannot fail here).
bool is_local_system(int* error);

// The new PATH value from the expanded process and system values, as update_path
// sets it; nullopt-like empty result means "remove PATH". local_system decides
// whether missing folders are dropped.
//   - a process value that does not contain the system value gets it appended
//     (":"-separated); one that does is replaced by the system value;
//   - under the system account, folders that do not exist are dropped.
std::string PathAfterUpdate(const std::string& process_path, const std::string& system_path,
                            bool local_system);

// Drops the entries of a ":"-separated list that are not existing folders; returns
// the list unchanged when none is dropped.
std::string DropMissingFolders(const std::string& path);

}  // namespace qx::qxtrap

#endif
