/* libqxcomn: the product's message facility, debug trace files and common data
 * utilities. Every export is a plain C function.
 *
 * The header is kept in sections, one per area; each area's functions state their
 * own thread-safety. */
#ifndef QXCOMN_H
#define QXCOMN_H

#include <qxdefs.h>
#include <stdarg.h>

/* ==== Language resource libraries ==== */

/* ==== Message catalog and QXmsgf ==== */

/* ==== Debug trace writer ==== */

/* ==== SDS self-describing buffers ==== */

/* ==== Wildcard patterns ==== */

/* ==== Run-length compression ==== */

/* ==== Chains and character translation ==== */

#endif
