// The last error and the one table of error numbers, errno values and texts.
#include <qxplatform/errors.h>

#include <netdb.h>

#include <cerrno>

namespace qx::platform {
namespace {

thread_local DWORD t_last_error = 0;

struct ErrorEntry {
  DWORD code;
  const char* text;
};

// Texts for the Windows numbers the platform produces or the product reports.
constexpr ErrorEntry kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {12, "The access code is invalid."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {25, "The drive cannot locate a specific area or track on the disk."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {54, "The network is busy."},
    {64, "The specified network name is no longer available."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {82, "The directory or file cannot be created."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {128, "There are no child processes to wait for."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {230, "The pipe state is invalid."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {298, "Too many posts were made to a semaphore."},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {487, "Attempt to access invalid address."},
    {535, "There is a process on other end of the pipe."},
    {536, "Waiting for a process to open the other end of the pipe."},
    {735, "The wait was satisfied by an abandoned mutex."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1014, "One of the files in the registry database had to be recovered by use of a log or alternate copy. The recovery was successful."},
    {1015, "The registry is corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably."},
    {1017, "The system has attempted to load or restore a file into the registry, but the specified file is not in a registry file format."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, "Cannot create a stable subkey under a volatile parent key."},
    {1056, "An instance of the service is already running."},
    {1060, "The specified service does not exist as an installed service."},
    {1062, "The service has not been started."},
    {1073, "The specified service already exists."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1114, "A dynamic link library (DLL) initialization routine failed."},
    {1168, "Element not found."},
    {1225, "The remote computer refused the network connection."},
    {1307, "This security ID may not be assigned as the owner of this object."},
    {1314, "A required privilege is not held by the client."},
    {1326, "The user name or password is incorrect."},
    {1400, "Invalid window handle."},
    {1460, "This operation returned because the timeout period expired."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {1921, "The name of the file cannot be resolved by the system."},
    {10004, "A blocking operation was interrupted."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer."},
    {10041, "A protocol was specified in the socket function call that does not support the semantics of the socket type requested."},
    {10042, "An unknown, invalid, or unsupported option or level was specified."},
    {10043, "The requested protocol has not been configured into the system."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055, "No buffer space is available for a socket operation."},
    {10056, "A connect request was made on an already connected socket."},
    {10057, "The socket is not connected."},
    {10060, "The connection attempt timed out."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {11001, "No such host is known."},
    {11002, "This is usually a temporary error during hostname resolution."},
    {11003, "A non-recoverable error occurred during a database lookup."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
};

struct ErrnoEntry {
  int errno_value;
  DWORD code;
};

constexpr ErrnoEntry kErrno[] = {
    {0, 0},
    {EPERM, 5},
    {ENOENT, 2},
    {ESRCH, 2},
    {EINTR, 995},
    {EIO, 31},
    {ENXIO, 21},
    {E2BIG, 87},
    {ENOEXEC, 11},
    {EBADF, 6},
    {ECHILD, 128},
    {EAGAIN, 170},
    {ENOMEM, 8},
    {EACCES, 5},
    {EFAULT, 998},
    {EBUSY, 170},
    {EEXIST, 183},
    {EXDEV, 17},
    {ENODEV, 21},
    {ENOTDIR, 267},
    {EISDIR, 5},
    {EINVAL, 87},
    {ENFILE, 4},
    {EMFILE, 4},
    {ETXTBSY, 32},
    {EFBIG, 112},
    {ENOSPC, 112},
    {ESPIPE, 25},
    {EROFS, 19},
    {EMLINK, 82},
    {EPIPE, 109},
    {ENAMETOOLONG, 206},
    {ENOSYS, 120},
    {ENOTEMPTY, 145},
    {ELOOP, 1921 /* ERROR_CANT_RESOLVE_FILENAME */},
    {ENOTSUP, 50},
    {ETIMEDOUT, 1460},
    {EILSEQ, 1113},
    {EDQUOT, 112},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ECONNREFUSED, 10061},
    {EHOSTUNREACH, 10065},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
};

}  // namespace

DWORD ErrorFromErrno(int errno_value) {
  for (const auto& e : kErrno)
    if (e.errno_value == errno_value) return e.code;
  return ERROR_GEN_FAILURE;
}

DWORD ErrorFromResolver(int eai_value) {
  switch (eai_value) {
    case 0: return 0;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SERVICE: return 10109; /* WSATYPE_NOT_FOUND */
    case EAI_SOCKTYPE: return 10044; /* WSAESOCKTNOSUPPORT */
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SYSTEM: return ErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

DWORD SetLastErrorFromErrno(int errno_value) {
  DWORD code = ErrorFromErrno(errno_value);
  t_last_error = code;
  return code;
}

const char* ErrorText(DWORD code) {
  for (const auto& e : kTexts)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace qx::platform

extern "C" {
DWORD GetLastError(void) { return qx::platform::t_last_error; }
void SetLastError(DWORD dwErrCode) { qx::platform::t_last_error = dwErrCode; }
}
