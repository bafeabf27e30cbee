// The library's diagnostic trace and the bindings of the trace library.
//
// Diagnostic lines are written when the trace level (QX_WIZARD_DEBUG, else
// QX_QXIDEBUG: "Y"/"y" is 1, other text its number) is 2 or higher. Each line
// carries a prefix (time, process, thread, source file, line, optionally the
// function), the first line of a source file is preceded by a banner, and entry
// lines name their caller from the thread's call stack. Lines go to the trace
// library "QXTESTRC.DLL" when it is present (unless QX_TRACE_USEFILE is set), else
// to the trace file when QX_TURNON_TRC_TOFILE is set, else nowhere.
//
// Thread-safety: every function may be called from any thread; call stacks are
// per thread; lines of several threads may interleave.
#ifndef QX_SETUP_ZELAPI01_TRACE_H
#define QX_SETUP_ZELAPI01_TRACE_H

#include <qxplatform/types.h>

#include <cstddef>
#include <string>

namespace qx::zel {

// Where a trace line comes from; filled by the macros below.
struct TraceSite {
  int line;
  const char* file;
  const char* file_date;
  const char* build_date;
  const char* build_time;
  const char* function;
  const void* module_address;  // an address inside the module that traces
};

enum class TraceKind { kStep, kEntry, kExit };

// The process's trace level (read when the library is loaded).
int TraceLevel();

// Writes one diagnostic line when the trace level is at least max(2, level).
void TraceLine(const TraceSite& site, TraceKind kind, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Writes a hex dump of a block ("Snap: ..."), lines equal to the one before
// folded into a count.
void TraceSnap(const TraceSite& site, const void* data, size_t size);

// The lines of a hex dump, without prefixes (for the dump above and its tests).
std::string FormatSnap(const void* data, size_t size);

// Reads the trace level and switches again and forgets the destination, the
// source files seen and the calling thread's call stack. For tests.
void ReloadTraceSettings();

// The program's file name without its folder, "Unknown" when not known.
std::string ProgramBaseName();

// The trace file's path: <temp>/qxtrc_<pid>.<program>.log.
std::string TraceFilePath();

// The trace library's "TesTrace" entry, bound on first use; nullptr when the
// library or the entry is missing. FreeTraceLibrary drops the binding.
using TesTraceProc = int (*)(const char* module, const char* text);
TesTraceProc TraceLibraryEntry();
HMODULE TraceLibraryModule();
void FreeTraceLibrary();

}  // namespace qx::zel

#define ZEL_TRACE_SITE_                                              \
  ::qx::zel::TraceSite {                                             \
    __LINE__, __FILE__, __TIMESTAMP__, __DATE__, __TIME__, __func__, \
        reinterpret_cast<const void*>(&::qx::zel::TraceLevel)        \
  }

// ZEL_TRACE(level, format, ...): a step; ZEL_TRACE_ENTRY/EXIT: entering and
// leaving the current function (they push and pop the call stack).
#define ZEL_TRACE(level, ...)                                                                 \
  do {                                                                                        \
    if (::qx::zel::TraceLevel() >= 2)                                                         \
      ::qx::zel::TraceLine(ZEL_TRACE_SITE_, ::qx::zel::TraceKind::kStep, level, __VA_ARGS__); \
  } while (0)
#define ZEL_TRACE_ENTRY(level, ...)                                                            \
  do {                                                                                         \
    if (::qx::zel::TraceLevel() >= 2)                                                          \
      ::qx::zel::TraceLine(ZEL_TRACE_SITE_, ::qx::zel::TraceKind::kEntry, level, __VA_ARGS__); \
  } while (0)
#define ZEL_TRACE_EXIT(level, ...)                                                            \
  do {                                                                                        \
    if (::qx::zel::TraceLevel() >= 2)                                                         \
      ::qx::zel::TraceLine(ZEL_TRACE_SITE_, ::qx::zel::TraceKind::kExit, level, __VA_ARGS__); \
  } while (0)

#endif
