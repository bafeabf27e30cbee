/* Named and anonymous pipes.
 *
 * A named pipe "\\.\pipe\<name>" (or "\\<this computer>\pipe\<name>") is a
 * Unix-domain socket $QX_RUNTIME_DIR/pipe/<name>; pipe names compare without
 * regard to ASCII case, as on Windows. A byte-type pipe is a stream socket; a
 * message-type pipe is a SOCK_SEQPACKET socket, so every WriteFile is one message
 * and message boundaries hold. The instances of a pipe are served by the process
 * that created its first instance; CreateNamedPipe in another process while it
 * lives fails with ERROR_PIPE_BUSY, and a socket left by a server that died is
 * taken over. Security attributes give the socket file its mode (0666 for
 * "everyone", else 0600, see security.h): the mode decides who may connect.
 * The server learns its client's process, user and group from SO_PEERCRED.
 *
 * Results as on Windows: a client connecting to a name nobody serves gets
 * ERROR_FILE_NOT_FOUND; to a pipe whose backlog of unaccepted clients is full,
 * ERROR_PIPE_BUSY. Reading from a pipe whose other end closed (or whose process
 * died) gives ERROR_BROKEN_PIPE, writing to it ERROR_NO_DATA; neither ever hangs.
 * In message read mode a message longer than the buffer fills the buffer, fails
 * with ERROR_MORE_DATA and leaves the rest for the next reads.
 * Not kept: overlapped I/O (ERROR_NOT_SUPPORTED), PIPE_NOWAIT, remote servers
 * (ERROR_BAD_NETPATH), zero-length messages (a WriteFile of 0 bytes sends
 * nothing), messages larger than kMaxPipeMessage bytes (ERROR_INVALID_PARAMETER),
 * a client waiting in the backlog is already "connected" for itself (its first
 * write succeeds) before the server's ConnectNamedPipe takes it.
 * Thread-safety: all functions may be called from any thread; one pipe handle is
 * used by one thread at a time, as Windows programs do. */
#ifndef QXPLATFORM_PIPE_H
#define QXPLATFORM_PIPE_H

#include <qxplatform/file.h>
#include <qxplatform/types.h>

#define PIPE_ACCESS_INBOUND 0x00000001
#define PIPE_ACCESS_OUTBOUND 0x00000002
#define PIPE_ACCESS_DUPLEX 0x00000003
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000
#define PIPE_TYPE_BYTE 0x00000000
#define PIPE_TYPE_MESSAGE 0x00000004
#define PIPE_READMODE_BYTE 0x00000000
#define PIPE_READMODE_MESSAGE 0x00000002
#define PIPE_WAIT 0x00000000
#define PIPE_NOWAIT 0x00000001
#define PIPE_ACCEPT_REMOTE_CLIENTS 0x00000000
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#define PIPE_UNLIMITED_INSTANCES 255
#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000
#define NMPWAIT_NOWAIT 0x00000001
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

/* The largest message a message-type pipe carries, in bytes. */
#define kMaxPipeMessage (1024 * 1024)

/* Windows CreateNamedPipeA/W: an instance, not yet connected. nMaxInstances is
 * 1..255 (PIPE_UNLIMITED_INSTANCES); more instances fail with ERROR_PIPE_BUSY.
 * Later instances must have the first one's type (else ERROR_ACCESS_DENIED).
 * Returns INVALID_HANDLE_VALUE on failure. */
QXP_API HANDLE CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode,
                                DWORD nMaxInstances, DWORD nOutBufferSize, DWORD nInBufferSize,
                                DWORD nDefaultTimeOut, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
QXP_API HANDLE CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode,
                                DWORD nMaxInstances, DWORD nOutBufferSize, DWORD nInBufferSize,
                                DWORD nDefaultTimeOut, LPSECURITY_ATTRIBUTES lpSecurityAttributes);

/* Windows ConnectNamedPipe: waits for a client. FALSE with ERROR_PIPE_CONNECTED
 * when the instance has one already. lpOverlapped must be NULL. */
QXP_API BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped);
/* Windows DisconnectNamedPipe: drops the client; the instance may connect again. */
QXP_API BOOL DisconnectNamedPipe(HANDLE hNamedPipe);

/* Windows WaitNamedPipeA/W: TRUE once the pipe exists (is served), FALSE with
 * ERROR_SEM_TIMEOUT after the time (NMPWAIT_USE_DEFAULT_WAIT: 50 ms). */
QXP_API BOOL WaitNamedPipeA(LPCSTR lpNamedPipeName, DWORD nTimeOut);
QXP_API BOOL WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut);

/* Windows SetNamedPipeHandleState: only the read mode may be changed (message read
 * mode needs a message-type pipe, else ERROR_INVALID_PARAMETER); collection
 * settings are accepted and ignored. */
QXP_API BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode,
                                     LPDWORD lpMaxCollectionCount, LPDWORD lpCollectDataTimeout);

/* Windows PeekNamedPipe: copies without taking; any out pointer may be NULL. */
QXP_API BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize,
                           LPDWORD lpBytesRead, LPDWORD lpTotalBytesAvail,
                           LPDWORD lpBytesLeftThisMessage);

/* Windows TransactNamedPipe and CallNamedPipeA/W: one message out, one back. */
QXP_API BOOL TransactNamedPipe(HANDLE hNamedPipe, LPVOID lpInBuffer, DWORD nInBufferSize,
                               LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead,
                               LPOVERLAPPED lpOverlapped);
QXP_API BOOL CallNamedPipeA(LPCSTR lpNamedPipeName, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead,
                            DWORD nTimeOut);
QXP_API BOOL CallNamedPipeW(LPCWSTR lpNamedPipeName, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead,
                            DWORD nTimeOut);

/* Windows GetNamedPipeClientProcessId: the connected client's process id. */
QXP_API BOOL GetNamedPipeClientProcessId(HANDLE Pipe, PULONG ClientProcessId);

/* Windows CreatePipe: an anonymous byte pipe (a connected socket pair), for child
 * processes' standard handles among others. */
QXP_API BOOL CreatePipe(LPHANDLE hReadPipe, LPHANDLE hWritePipe,
                        LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD nSize);

#ifdef __cplusplus
#include <cstdint>

namespace qx::platform {

// The peer of a connected pipe end: its process, user and group ids. False, with
// ERROR_INVALID_HANDLE or ERROR_PIPE_NOT_CONNECTED, when there is none.
QXP_CXX_API bool PipePeerCredentials(HANDLE pipe, uint32_t* pid, uint32_t* uid, uint32_t* gid);

}  // namespace qx::platform
#endif

#endif
