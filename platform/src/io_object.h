// Objects that ReadFile and WriteFile reach: files and pipe ends.
// Thread-safety: as each implementation says; the base adds nothing.
#ifndef QXPLATFORM_SRC_IO_OBJECT_H
#define QXPLATFORM_SRC_IO_OBJECT_H

#include "handle_table.h"

namespace qx::platform {

class IoObject : public KernelObject {
 public:
  // ReadFile/WriteFile semantics: TRUE with *done set, or FALSE with the last
  // error set (*done may still report a partial transfer, e.g. ERROR_MORE_DATA).
  virtual BOOL Read(void* buffer, DWORD size, DWORD* done) = 0;
  virtual BOOL Write(const void* buffer, DWORD size, DWORD* done) = 0;
  // The descriptor underneath (owned by the object), or -1.
  virtual int fd() const = 0;
};

// Looks up a handle that ReadFile/WriteFile accept; null with ERROR_INVALID_HANDLE.
std::shared_ptr<IoObject> LookupIo(HANDLE handle);

// True when name has the form of a pipe name ("\\<server>\pipe\...").
bool IsPipeName(const char* name);

// Connects to a named pipe for CreateFile (pipe.cc): NULL with the last error set
// on failure.
HANDLE OpenPipeClient(const char* name, DWORD access, DWORD flags);

}  // namespace qx::platform

#endif
