/* Common definitions shared by every exported header of the product: the export
 * macro and the fixed-width Windows-style types the interfaces are written in.
 * Thread-safety: definitions only. */
#ifndef QXDEFS_H
#define QXDEFS_H

#include <qxplatform/types.h>

#ifdef __cplusplus
#define QX_EXTERN_C extern "C"
#else
#define QX_EXTERN_C
#endif

/* Marks a function that a product library exports; everything else is hidden. */
#define QX_EXPORT QX_EXTERN_C __attribute__((visibility("default")))

/* Library status codes: condition values of facility 2. */
#define QX_STATUS_SUCCESS 0x08028011u
#define QX_STATUS_FAILURE 0x0802802Cu
#define QX_STATUS_WARNING 0x0802801Au

/* Message identifiers: bits 0-2 severity, bits 3-14 message number, bits 15 and 27
 * always set, the facility in bits 16-26 (and above). */
#define QX_SEV_WARNING 0
#define QX_SEV_SUCCESS 1
#define QX_SEV_ERROR 2
#define QX_SEV_INFO 3
#define QX_SEV_FATAL 4
#define QX_MSGID_FIXED_BITS 0x08008000u
#define QX_MSGID(facility, number, severity)                                   \
  ((unsigned int)(QX_MSGID_FIXED_BITS | ((unsigned int)(facility) << 16) |     \
                  (((unsigned int)(number) & 0xFFFu) << 3) | ((unsigned int)(severity) & 7u)))
#define QX_MSGID_SEVERITY(id) ((unsigned int)(id) & 7u)
#define QX_MSGID_NUMBER(id) (((unsigned int)(id) >> 3) & 0xFFFu)
#define QX_MSGID_FACILITY(id) ((((unsigned int)(id)) & ~QX_MSGID_FIXED_BITS) >> 16)

#endif
