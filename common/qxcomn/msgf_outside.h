// The libraries outside the system that QXmsgf and messagef hand messages to:
// the event console "QXEVT.DLL" (entry "HvEvt_wto") and the operator library
// "QXOPRC.DLL" (entry "__oprmsg").
//
// Each entry is bound on demand through zelapi01's LoadDLLProcs2; once bound it stays bound (a bound library is
// never unloaded). A failed binding is not reported and is tried again at the
// next call that needs the entry.
// Thread-safety: both functions may be called from any thread.
#ifndef QXCOMN_MSGF_OUTSIDE_H
#define QXCOMN_MSGF_OUTSIDE_H

#include <qxcomn.h>

namespace qx::comn {

QXEVT_WTO_PROC BindEventConsole();
QXOPRC_OPRMSG_PROC BindOperatorLibrary();

}  // namespace qx::comn

#endif
