// Files through handles (see file.h).
#include <fcntl.h>
#include <qxplatform/errors.h>
#include <qxplatform/file.h>
#include <qxplatform/text.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io_object.h"

namespace qx::platform {
namespace {

class File final : public IoObject {
 public:
  File(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~File() override {
    if (owned_) ::close(fd_);
  }
  ObjectKind kind() const override { return ObjectKind::kFile; }
  int fd() const override { return fd_; }

  BOOL Read(void* buffer, DWORD size, DWORD* done) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) {
        *done = DWORD(n);
        return TRUE;
      }
      if (errno != EINTR) return SetLastErrorFromErrno(errno), FALSE;
    }
  }
  BOOL Write(const void* buffer, DWORD size, DWORD* done) override {
    const char* p = static_cast<const char*>(buffer);
    DWORD total = 0;
    while (total < size) {
      ssize_t n = ::write(fd_, p + total, size - total);
      if (n < 0) {
        if (errno == EINTR) continue;
        *done = total;
        return SetLastErrorFromErrno(errno), FALSE;
      }
      total += DWORD(n);
    }
    *done = total;
    return TRUE;
  }

 private:
  int fd_;
  bool owned_;
};

std::shared_ptr<File> LookupFile(HANDLE h) {
  return HandleTable::Get().LookupAs<File>(h, ObjectKind::kFile);
}

bool Seek(HANDLE h, int64_t distance, DWORD method, int64_t* result) {
  auto f = LookupFile(h);
  if (!f) return false;
  int whence = method == FILE_BEGIN     ? SEEK_SET
               : method == FILE_CURRENT ? SEEK_CUR
               : method == FILE_END     ? SEEK_END
                                        : -1;
  if (whence < 0) return SetLastError(ERROR_INVALID_PARAMETER), false;
  off_t at = ::lseek(f->fd(), off_t(distance), whence);
  if (at < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    return false;
  }
  *result = at;
  return true;
}

}  // namespace

std::shared_ptr<IoObject> LookupIo(HANDLE handle) {
  ObjectRef o = HandleTable::Get().Lookup(handle);
  if (o && (o->kind() == ObjectKind::kFile || o->kind() == ObjectKind::kPipe))
    return std::static_pointer_cast<IoObject>(o);
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

int FileDescriptor(HANDLE handle) {
  auto io = LookupIo(handle);
  return io ? io->fd() : -1;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr || *lpFileName == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (IsPipeName(lpFileName)) {
    HANDLE h = OpenPipeClient(lpFileName, dwDesiredAccess, dwFlagsAndAttributes);
    return h ? h : INVALID_HANDLE_VALUE;
  }
  if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  bool rd = dwDesiredAccess & (GENERIC_READ | GENERIC_ALL);
  bool wr = dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL);
  int flags = O_CLOEXEC | (rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY);
  if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  bool existed = ::stat(lpFileName, &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = ::open(lpFileName, flags, mode);
  if (fd < 0) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = HandleTable::Get().Insert(std::make_shared<File>(fd, true));
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  bool reports_existing =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) return CreateFileA(nullptr, 0, 0, nullptr, 0, 0, nullptr);
  auto name = Utf16ToUtf8(lpFileName);
  if (!name) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(name->c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto io = LookupIo(hFile);
  if (!io) return FALSE;
  if (lpOverlapped != nullptr) return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToRead > 0)
    return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  DWORD done = 0;
  BOOL ok = io->Read(lpBuffer, nNumberOfBytesToRead, &done);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  return ok;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto io = LookupIo(hFile);
  if (!io) return FALSE;
  if (lpOverlapped != nullptr) return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)
    return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  DWORD done = 0;
  BOOL ok = io->Write(lpBuffer, nNumberOfBytesToWrite, &done);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return ok;
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto f = LookupFile(hFile);
  if (!f) return FALSE;
  struct stat st;
  if (::fstat(f->fd(), &st) != 0) return SetLastErrorFromErrno(errno), FALSE;
  lpFileSize->QuadPart = st.st_size;
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
  if (lpFileSizeHigh) *lpFileSizeHigh = DWORD(uint64_t(size.QuadPart) >> 32);
  SetLastError(ERROR_SUCCESS);  // callers tell INVALID_FILE_SIZE from a real size so
  return DWORD(size.QuadPart);
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
  int64_t distance =
      lpDistanceToMoveHigh
          ? int64_t((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove))
          : int64_t(lDistanceToMove);
  int64_t at;
  if (!Seek(hFile, distance, dwMoveMethod, &at)) return INVALID_SET_FILE_POINTER;
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = LONG(at >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(at);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
  int64_t at;
  if (!Seek(hFile, liDistanceToMove.QuadPart, dwMoveMethod, &at)) return FALSE;
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = at;
  return TRUE;
}

BOOL SetEndOfFile(HANDLE hFile) {
  auto f = LookupFile(hFile);
  if (!f) return FALSE;
  off_t at = ::lseek(f->fd(), 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(f->fd(), at) != 0) return SetLastErrorFromErrno(errno), FALSE;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  auto io = LookupIo(hFile);
  if (!io) return FALSE;
  if (io->kind() == ObjectKind::kFile && ::fsync(io->fd()) != 0 && errno != EINVAL)
    return SetLastErrorFromErrno(errno), FALSE;
  return TRUE;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
  int fd = nStdHandle == STD_INPUT_HANDLE    ? 0
           : nStdHandle == STD_OUTPUT_HANDLE ? 1
           : nStdHandle == STD_ERROR_HANDLE  ? 2
                                             : -1;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // One handle per descriptor for the life of the process, as Windows keeps them.
  static HANDLE handles[3] = {HandleTable::Get().Insert(std::make_shared<File>(0, false)),
                              HandleTable::Get().Insert(std::make_shared<File>(1, false)),
                              HandleTable::Get().Insert(std::make_shared<File>(2, false))};
  return handles[fd];
}

}  // extern "C"
