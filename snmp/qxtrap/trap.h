// The sender's run: start-up, command line, defaults, one trap built and sent.
// Thread-safety: single-threaded program.
#ifndef QXTRAP_TRAP_H
#define QXTRAP_TRAP_H

#include <cstdint>
#include <optional>
#include <string>

namespace qx::qxtrap {

// Exit statuses of a run (the parent sees the low 8 bits: -2 is 254).
inline constexpr int kExitSendFailed = -5;
inline constexpr int kExitUnknownNode = -6;

// The environment variables the sender reads.
inline constexpr const char* kDebugVariable = "QX_QXIDEBUG";
inline constexpr const char* kEnterpriseVariable = "QXIQXTD0000";
inline constexpr const char* kVariableNameVariable = "QXIQXTD0001";

// Runs the sender; returns its exit status. A failed session open ends the
// process with status 2.
int RunQxtrap(int argc, const char* const* argv);

// Milliseconds since boot divided by 10, modulo 2^32: the default time-stamp.
uint32_t DefaultTimeStamp();

// A variable of the environment store (QXgetenv), nullopt when unset or empty.
std::optional<std::string> ReadVariable(const char* name);

}  // namespace qx::qxtrap

#endif
