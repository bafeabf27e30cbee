// Run-time binding of the event-console and operator libraries, through the
// system-services library's loader.
#include "msgf_outside.h"

#include <zelapi01.h>

namespace qx::comn {
namespace {

// One library with one entry point. LoadDLLProcs2 serialises binding and writes
// the descriptor's handle only once the entry is stored; a failed binding leaves
// the descriptor unbound, and the next call tries again. No message is left in
// the caller's message area: a missing library is not reported.
struct OutsideEntry {
  FARPROC proc = nullptr;
  ZELDLLPROC procs[2];
  ZELDLLLOAD load;

  OutsideEntry(const char* library, const char* entry)
      : procs{{entry, &proc}, {nullptr, nullptr}}, load{library, nullptr, procs, nullptr} {}

  FARPROC Get() { return LoadDLLProcs2(&load, nullptr) ? proc : nullptr; }
};

}  // namespace

QXEVT_WTO_PROC BindEventConsole() {
  static OutsideEntry* entry = new OutsideEntry("QXEVT.DLL", "HvEvt_wto");
  return reinterpret_cast<QXEVT_WTO_PROC>(entry->Get());
}

QXOPRC_OPRMSG_PROC BindOperatorLibrary() {
  static OutsideEntry* entry = new OutsideEntry("QXOPRC.DLL", "__oprmsg");
  return reinterpret_cast<QXOPRC_OPRMSG_PROC>(entry->Get());
}

}  // namespace qx::comn
