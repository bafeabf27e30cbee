// The common shared mapping and open ("everyone") security attributes.
#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/security.h>
#include <qxplatform/sync.h>
#include <stdlib.h>

#include "qxnuc.h"
#include "tsadjust.h"

extern "C" {

void* QXGetCommonMapping(DWORD access) {
  HANDLE mapping = QXWTS_OpenFileMappingA(access, TRUE, "QX_COMMON_TESSARY_STORAGE", QXWTS_GLOBAL);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, access, 0, 0, 0);
  DWORD err = GetLastError();
  CloseHandle(mapping);  // the view keeps the mapping
  SetLastError(err);
  return view;
}

void QXDropCommonMapping(void* view) {
  if (view != nullptr) UnmapViewOfFile(view);
}

LPSECURITY_ATTRIBUTES QXCreateDacl(const QXCONTEXTOPTIONS* context, void** descriptor) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(::calloc(1, sizeof(SECURITY_DESCRIPTOR)));
  auto* sa = static_cast<SECURITY_ATTRIBUTES*>(::calloc(1, sizeof(SECURITY_ATTRIBUTES)));
  if (sd == nullptr || sa == nullptr ||
      !InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(sd, TRUE, nullptr, FALSE)) {
    ::free(sd);
    ::free(sa);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  sa->nLength = sizeof(SECURITY_ATTRIBUTES);
  sa->lpSecurityDescriptor = sd;
  sa->bInheritHandle =
      context != nullptr && (context->dwOptions & QX_CONTEXT_INHERIT) ? TRUE : FALSE;
  if (descriptor != nullptr) *descriptor = sd;
  return sa;
}

int QXDeleteDacl(LPSECURITY_ATTRIBUTES attributes) {
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return 0;
  ::free(attributes->lpSecurityDescriptor);
  ::free(attributes);
  return 1;
}

}  // extern "C"
