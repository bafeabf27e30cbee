/* libqxenv: the product's environment store, through which every program and
 * library reads its named configuration variables and options.
 *
 * This form answers every lookup from the calling process's environment (as
 * getenv sees it), which is the last source the store consults; "COMPUTERNAME",
 * when the environment does not set it, is the machine name. An unset or empty
 * variable has no value.
 *
 * Thread-safety: every function may be called from any thread. */
#ifndef QXENV_H
#define QXENV_H

#include <qxdefs.h>

/* The value of the environment variable `name`, or NULL when it has none (also
 * for a NULL name). The text belongs to the library and stays valid, unchanged,
 * for the life of the process; the caller never frees it. A later call after the
 * variable changed returns a new pointer. */
QX_EXPORT const char* QXgetenv(const char* name);

/* The value of the option `name`, or NULL; the same contract as QXgetenv. */
QX_EXPORT const char* QXgetopt(const char* name);

/* The version of the store's record layout: 2. */
QX_EXPORT int QXgetversion(void);

#endif
