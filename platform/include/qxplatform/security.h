/* Security descriptors, as far as the platform maps them to file modes.
 *
 * Linux has no access lists on kernel objects; named objects and pipes are files
 * under $QX_RUNTIME_DIR whose mode stands for the descriptor. A descriptor with a
 * present, null access list (everyone has full access) gives mode 0666; every other
 * descriptor, and no security attributes at all, gives 0600 (owner only, which is
 * what Windows' default access list amounts to for a service's objects). Access
 * lists themselves are not interpreted.
 * Thread-safety: all functions are reentrant. */
#ifndef QXPLATFORM_SECURITY_H
#define QXPLATFORM_SECURITY_H

#include <qxplatform/types.h>

typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;

typedef WORD SECURITY_DESCRIPTOR_CONTROL;

typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  void* Owner;
  void* Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR;
typedef void* PSECURITY_DESCRIPTOR;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH sizeof(SECURITY_DESCRIPTOR)
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008

/* Windows InitializeSecurityDescriptor: an absolute descriptor with no owner,
 * group or lists. dwRevision must be SECURITY_DESCRIPTOR_REVISION, else
 * ERROR_INVALID_PARAMETER (also for a null descriptor). */
QXP_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                          DWORD dwRevision);

/* Windows SetSecurityDescriptorDacl: records whether an access list is present and
 * which. The list is kept by pointer, as on Windows; only "present and null" has a
 * meaning here. */
QXP_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                       PACL pDacl, BOOL bDaclDefaulted);

/* Windows IsValidSecurityDescriptor: TRUE for an initialised descriptor. */
QXP_API BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor);

#ifdef __cplusplus
namespace qx::platform {

// The file mode that stands for security attributes (0666 or 0600, see above).
QXP_CXX_API unsigned FileModeFor(const SECURITY_ATTRIBUTES* attributes);

}  // namespace qx::platform
#endif

#endif
