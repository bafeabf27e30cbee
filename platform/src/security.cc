// Security descriptors, reduced to the file mode they stand for.
#include <qxplatform/errors.h>
#include <qxplatform/security.h>

#include <cstring>

namespace qx::platform {

unsigned FileModeFor(const SECURITY_ATTRIBUTES* attributes) {
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return 0600;
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
  bool everyone = sd->Revision == SECURITY_DESCRIPTOR_REVISION &&
                  (sd->Control & SE_DACL_PRESENT) != 0 && sd->Dacl == nullptr;
  return everyone ? 0666 : 0600;
}

}  // namespace qx::platform

extern "C" {

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  std::memset(sd, 0, sizeof *sd);
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted) {
  if (!IsValidSecurityDescriptor(pSecurityDescriptor)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  sd->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  if (bDaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = pDacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  return pSecurityDescriptor != nullptr &&
         static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision ==
             SECURITY_DESCRIPTOR_REVISION;
}

}  // extern "C"
