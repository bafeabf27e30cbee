// Named pipes on Unix-domain sockets, and anonymous pipes (see pipe.h).
#include <fcntl.h>
#include <poll.h>
#include <qxplatform/errors.h>
#include <qxplatform/pipe.h>
#include <qxplatform/security.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "io_object.h"
#include "named_object.h"

namespace qx::platform {
namespace {

// WaitNamedPipe's default wait when the caller gives NMPWAIT_USE_DEFAULT_WAIT.
constexpr DWORD kDefaultWaitMs = 50;
// Send buffer asked for, so that one message of kMaxPipeMessage bytes fits.
constexpr int kSocketBuffer = kMaxPipeMessage + 64 * 1024;

// The socket address of a pipe. Paths too long for sun_path go through the
// folder's descriptor (/proc/self/fd/N/name).
struct PipeAddress {
  std::string path;  // the socket file
  std::string dir;
};

std::optional<PipeAddress> ResolvePipeName(const char* name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  std::string_view n(name);
  if (n.size() < 2 || n[0] != '\\' || n[1] != '\\') {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  n.remove_prefix(2);
  size_t slash = n.find('\\');
  if (slash == std::string_view::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  std::string server(n.substr(0, slash));
  n.remove_prefix(slash + 1);
  std::string kind(n.substr(0, 5));
  for (auto& c : kind) c = AsciiLower(c);
  if (kind != "pipe\\" || n.size() == 5) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  n.remove_prefix(5);
  char host[256] = {};
  DWORD size = sizeof host;
  GetComputerNameA(host, &size);
  auto same = [](std::string a, std::string b) {
    for (auto& c : a) c = AsciiLower(c);
    for (auto& c : b) c = AsciiLower(c);
    return a == b;
  };
  if (server != "." && !same(server, host) && !same(server, "localhost")) {
    SetLastError(ERROR_BAD_NETPATH);
    return std::nullopt;
  }
  std::string lowered(n);
  for (auto& c : lowered) c = AsciiLower(c);
  std::string runtime = RuntimeDir();
  if (runtime.empty()) return std::nullopt;
  PipeAddress a;
  a.dir = runtime + "/pipe";
  a.path = a.dir + "/" + EncodeName(lowered);
  if (EncodeName(lowered).size() > 255) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  return a;
}

// Fills a sockaddr for path; dir_fd receives a descriptor the caller closes when
// the short /proc form was needed.
bool MakeSockaddr(const PipeAddress& a, sockaddr_un* out, int* dir_fd) {
  *dir_fd = -1;
  std::memset(out, 0, sizeof *out);
  out->sun_family = AF_UNIX;
  std::string path = a.path;
  if (path.size() >= sizeof out->sun_path) {
    *dir_fd = ::open(a.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dir_fd < 0) return SetLastErrorFromErrno(errno), false;
    path = "/proc/self/fd/" + std::to_string(*dir_fd) + a.path.substr(a.dir.size());
    if (path.size() >= sizeof out->sun_path) {
      ::close(*dir_fd);
      *dir_fd = -1;
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
  }
  std::memcpy(out->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// 0, or the errno of a failed connect. Non-blocking, so that a full backlog is
// "busy" instead of a hang; the socket is made blocking again afterwards.
int Connect(int fd, const PipeAddress& a) {
  sockaddr_un addr;
  int dir_fd;
  if (!MakeSockaddr(a, &addr, &dir_fd)) return ENAMETOOLONG;
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int err = rc == 0 ? 0 : errno;
  ::fcntl(fd, F_SETFL, flags);
  if (dir_fd >= 0) ::close(dir_fd);
  return err;
}

// The listening socket of a pipe name, shared by this process's instances.
class Listener {
 public:
  Listener(int fd, bool message, PipeAddress address, DWORD max_instances, ino_t inode)
      : fd_(fd),
        message_(message),
        address_(std::move(address)),
        max_(max_instances),
        inode_(inode),
        owner_(::getpid()) {}
  ~Listener() {
    RemoveSocket();
    ::close(fd_);
  }
  // Removes the socket file while it is still this listener's (and this is the
  // process that made it, not a forked child).
  void RemoveSocket() {
    struct stat st;
    if (::getpid() != owner_) return;
    if (::stat(address_.path.c_str(), &st) == 0 && st.st_ino == inode_)
      ::unlink(address_.path.c_str());
    ::rmdir(address_.dir.c_str());  // fails harmlessly while other pipes remain
  }
  int fd() const { return fd_; }
  bool message() const { return message_; }
  DWORD max() const { return max_; }
  std::atomic<DWORD> instances{0};

 private:
  int fd_;
  bool message_;
  PipeAddress address_;
  DWORD max_;
  ino_t inode_;
  pid_t owner_;
};

struct Listeners {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Listener>> by_path;
};
Listeners& AllListeners() {
  static Listeners* l = new Listeners;
  return *l;
}

// A server that ends with pipes still open removes their sockets, as closing
// them would have.
void RemoveSocketsAtExit() {
  std::lock_guard lock(AllListeners().mutex);
  for (auto& [path, weak] : AllListeners().by_path)
    if (auto listener = weak.lock()) listener->RemoveSocket();
}

// One end of a pipe: a server instance (with its listener) or a client.
class PipeEnd final : public IoObject {
 public:
  PipeEnd(std::shared_ptr<Listener> listener, int fd, bool message_type, bool read_message)
      : listener_(std::move(listener)),
        fd_(fd),
        message_type_(message_type),
        read_message_(read_message) {
    if (listener_) ++listener_->instances;
  }
  ~PipeEnd() override {
    if (fd_ >= 0) ::close(fd_);
    if (listener_) --listener_->instances;
  }
  ObjectKind kind() const override { return ObjectKind::kPipe; }
  int fd() const override { return fd_; }

  bool Connect() {
    if (!listener_) return SetLastError(ERROR_INVALID_FUNCTION), false;
    if (fd_ >= 0) return SetLastError(ERROR_PIPE_CONNECTED), false;
    for (;;) {
      int fd = ::accept4(listener_->fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        fd_ = fd;
        return true;
      }
      if (errno != EINTR && errno != ECONNABORTED) return SetLastErrorFromErrno(errno), false;
    }
  }
  bool Disconnect() {
    if (!listener_) return SetLastError(ERROR_INVALID_FUNCTION), false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
    return true;
  }
  bool SetReadMode(bool message) {
    if (message && !message_type_) return SetLastError(ERROR_INVALID_PARAMETER), false;
    read_message_ = message;
    return true;
  }

  BOOL Read(void* buffer, DWORD size, DWORD* done) override {
    *done = 0;
    if (fd_ < 0) return SetLastError(ERROR_PIPE_LISTENING), FALSE;
    if (pending_.empty() && message_type_) {
      // Take the next message whole, then hand it out.
      ssize_t length = Receive(nullptr, 0, MSG_PEEK | MSG_TRUNC);
      if (length < 0) return FALSE;
      if (length == 0) return Broken();
      pending_.resize(size_t(length));
      if (Receive(pending_.data(), pending_.size(), 0) != length) {
        pending_.clear();
        return FALSE;
      }
    }
    if (!pending_.empty()) {
      DWORD n = DWORD(std::min<size_t>(size, pending_.size()));
      std::memcpy(buffer, pending_.data(), n);
      pending_.erase(pending_.begin(), pending_.begin() + n);
      *done = n;
      if (!pending_.empty() && read_message_) return SetLastError(ERROR_MORE_DATA), FALSE;
      return TRUE;
    }
    if (size == 0) return TRUE;
    ssize_t n = Receive(buffer, size, 0);
    if (n < 0) return FALSE;
    if (n == 0) return Broken();
    *done = DWORD(n);
    return TRUE;
  }

  BOOL Write(const void* buffer, DWORD size, DWORD* done) override {
    *done = 0;
    if (fd_ < 0) return SetLastError(ERROR_PIPE_LISTENING), FALSE;
    if (message_type_ && size > kMaxPipeMessage)
      return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    const char* p = static_cast<const char*>(buffer);
    while (*done < size) {
      ssize_t n = ::send(fd_, p + *done, size - *done, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)
          return SetLastError(ERROR_NO_DATA), FALSE;
        return SetLastErrorFromErrno(errno), FALSE;
      }
      *done += DWORD(n);
    }
    return TRUE;
  }

  BOOL PeekData(void* buffer, DWORD size, DWORD* read, DWORD* available, DWORD* left) {
    if (fd_ < 0) return SetLastError(ERROR_PIPE_LISTENING), FALSE;
    DWORD got = 0, avail = 0, rest = 0;
    if (!pending_.empty()) {
      got = DWORD(std::min<size_t>(size, pending_.size()));
      if (buffer) std::memcpy(buffer, pending_.data(), got);
      avail = DWORD(pending_.size());
      rest = avail - got;
    } else {
      int queued = 0;
      ::ioctl(fd_, FIONREAD, &queued);
      avail = DWORD(queued);
      if (queued > 0) {
        ssize_t length = ::recv(fd_, buffer, buffer ? size : 0,
                                MSG_PEEK | MSG_DONTWAIT | (message_type_ ? MSG_TRUNC : 0));
        if (length > 0) {
          got = DWORD(std::min<ssize_t>(length, size));
          if (message_type_) rest = DWORD(length) - got;
        }
      } else {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLIN)) &&
            ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_DONTWAIT) == 0 && !message_type_)
          return Broken();
      }
    }
    if (read) *read = got;
    if (available) *available = avail;
    if (left) *left = rest;
    return TRUE;
  }

  bool Credentials(uint32_t* pid, uint32_t* uid, uint32_t* gid) {
    if (fd_ < 0) return SetLastError(ERROR_PIPE_NOT_CONNECTED), false;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
      return SetLastErrorFromErrno(errno), false;
    if (pid) *pid = uint32_t(cred.pid);
    if (uid) *uid = cred.uid;
    if (gid) *gid = cred.gid;
    return true;
  }

 private:
  // recv with EINTR handled; -1 with the last error set.
  ssize_t Receive(void* buffer, size_t size, int flags) {
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, flags);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == ECONNRESET || errno == EPIPE) return 0;
      SetLastErrorFromErrno(errno);
      return -1;
    }
  }
  static BOOL Broken() {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }

  std::shared_ptr<Listener> listener_;  // server instances only
  int fd_;
  const bool message_type_;
  bool read_message_;
  std::vector<char> pending_;  // the unread rest of a message
};

std::shared_ptr<PipeEnd> LookupPipe(HANDLE h) {
  return HandleTable::Get().LookupAs<PipeEnd>(h, ObjectKind::kPipe);
}

// Binds and listens; takes over a socket file whose server died. Null with the
// last error set.
std::shared_ptr<Listener> Listen(const PipeAddress& a, bool message, DWORD max_instances,
                                 unsigned mode) {
  if (!MakeDirs(a.dir, 0700)) return nullptr;
  int type = message ? SOCK_SEQPACKET : SOCK_STREAM;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return SetLastErrorFromErrno(errno), nullptr;
    sockaddr_un addr;
    int dir_fd;
    if (!MakeSockaddr(a, &addr, &dir_fd)) {
      ::close(fd);
      return nullptr;
    }
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    if (dir_fd >= 0) ::close(dir_fd);
    if (rc == 0) {
      // The mode decides who may connect (connecting needs write permission). Set
      // after bind: the umask may only have made it stricter meanwhile.
      ::chmod(a.path.c_str(), mode);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
      ::listen(fd, int(max_instances));
      struct stat st {};
      ::stat(a.path.c_str(), &st);
      return std::make_shared<Listener>(fd, message, a, max_instances, st.st_ino);
    }
    ::close(fd);
    if (err != EADDRINUSE) return SetLastErrorFromErrno(err), nullptr;
    // Someone serves it, or a dead server left the file.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int cerr = Connect(probe, a);
    if (cerr == EPROTOTYPE) {
      ::close(probe);
      probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      cerr = Connect(probe, a);
    }
    ::close(probe);
    if (cerr != ECONNREFUSED) return SetLastError(ERROR_PIPE_BUSY), nullptr;
    ::unlink(a.path.c_str());
  }
  SetLastError(ERROR_PIPE_BUSY);
  return nullptr;
}

HANDLE CreateServer(const char* name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                    const SECURITY_ATTRIBUTES* sa) {
  auto address = ResolvePipeName(name);
  if (!address) return INVALID_HANDLE_VALUE;
  if ((open_mode & PIPE_ACCESS_DUPLEX) == 0 || max_instances == 0 || max_instances > 255 ||
      (pipe_mode & PIPE_NOWAIT) ||
      ((pipe_mode & PIPE_READMODE_MESSAGE) && !(pipe_mode & PIPE_TYPE_MESSAGE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool message = pipe_mode & PIPE_TYPE_MESSAGE;
  std::shared_ptr<Listener> listener;
  {
    std::lock_guard lock(AllListeners().mutex);
    auto& slot = AllListeners().by_path[address->path];
    listener = slot.lock();
    if (listener) {
      if ((open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) || listener->message() != message) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      if (listener->instances >= listener->max()) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
      }
    } else {
      listener = Listen(*address, message, max_instances, FileModeFor(sa));
      if (!listener) return INVALID_HANDLE_VALUE;
      slot = listener;
      static std::once_flag once;
      std::call_once(once, [] { std::atexit(RemoveSocketsAtExit); });
    }
  }
  HANDLE h = HandleTable::Get().Insert(
      std::make_shared<PipeEnd>(listener, -1, message, (pipe_mode & PIPE_READMODE_MESSAGE) != 0));
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

bool SocketExists(const PipeAddress& a) {
  struct stat st;
  return ::stat(a.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

bool IsPipeName(const char* name) {
  if (name == nullptr || name[0] != '\\' || name[1] != '\\') return false;
  const char* slash = std::strchr(name + 2, '\\');
  if (slash == nullptr) return false;
  std::string kind(slash + 1, strnlen(slash + 1, 5));
  for (auto& c : kind) c = AsciiLower(c);
  return kind == "pipe\\";
}

HANDLE OpenPipeClient(const char* name, DWORD access, DWORD flags) {
  auto address = ResolvePipeName(name);
  if (!address) return nullptr;
  if (flags & FILE_FLAG_OVERLAPPED) return SetLastError(ERROR_NOT_SUPPORTED), nullptr;
  int err = ENOENT;
  for (int type : {SOCK_SEQPACKET, SOCK_STREAM}) {
    int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return SetLastErrorFromErrno(errno), nullptr;
    err = Connect(fd, *address);
    if (err == 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
      HANDLE h = HandleTable::Get().Insert(
          std::make_shared<PipeEnd>(nullptr, fd, type == SOCK_SEQPACKET, false));
      if (h) SetLastError(ERROR_SUCCESS);
      return h;
    }
    ::close(fd);
    if (err != EPROTOTYPE) break;
  }
  if (err == EAGAIN)
    SetLastError(ERROR_PIPE_BUSY);
  else if (err == ENOENT || err == ECONNREFUSED)
    SetLastError(ERROR_FILE_NOT_FOUND);
  else if (err == EACCES)
    SetLastError(ERROR_ACCESS_DENIED);
  else
    SetLastErrorFromErrno(err);
  return nullptr;
}

bool PipePeerCredentials(HANDLE pipe, uint32_t* pid, uint32_t* uid, uint32_t* gid) {
  auto p = LookupPipe(pipe);
  return p && p->Credentials(pid, uid, gid);
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                        DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  return CreateServer(lpName, dwOpenMode, dwPipeMode, nMaxInstances, lpSecurityAttributes);
}

HANDLE CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                        DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return INVALID_HANDLE_VALUE;
  return CreateServer(null_name ? nullptr : name->c_str(), dwOpenMode, dwPipeMode, nMaxInstances,
                      lpSecurityAttributes);
}

BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped) {
  auto p = LookupPipe(hNamedPipe);
  if (!p) return FALSE;
  if (lpOverlapped) return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
  return p->Connect() ? TRUE : FALSE;
}

BOOL DisconnectNamedPipe(HANDLE hNamedPipe) {
  auto p = LookupPipe(hNamedPipe);
  return p && p->Disconnect() ? TRUE : FALSE;
}

BOOL WaitNamedPipeA(LPCSTR lpNamedPipeName, DWORD nTimeOut) {
  auto address = ResolvePipeName(lpNamedPipeName);
  if (!address) return FALSE;
  DWORD ms = nTimeOut == NMPWAIT_USE_DEFAULT_WAIT ? kDefaultWaitMs : nTimeOut;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (SocketExists(*address)) return TRUE;
    if (nTimeOut != NMPWAIT_WAIT_FOREVER && std::chrono::steady_clock::now() >= deadline) {
      SetLastError(ERROR_SEM_TIMEOUT);
      return FALSE;
    }
    Sleep(10);
  }
}

BOOL WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut) {
  bool null_name;
  auto name = NarrowName(lpNamedPipeName, &null_name);
  if (!name) return FALSE;
  return WaitNamedPipeA(null_name ? nullptr : name->c_str(), nTimeOut);
}

BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout) {
  auto p = LookupPipe(hNamedPipe);
  if (!p) return FALSE;
  if (lpMode == nullptr) return TRUE;
  if (*lpMode & PIPE_NOWAIT) return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
  return p->SetReadMode((*lpMode & PIPE_READMODE_MESSAGE) != 0) ? TRUE : FALSE;
}

BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
  auto p = LookupPipe(hNamedPipe);
  if (!p) return FALSE;
  return p->PeekData(lpBuffer, lpBuffer ? nBufferSize : 0, lpBytesRead, lpTotalBytesAvail,
                 lpBytesLeftThisMessage);
}

BOOL TransactNamedPipe(HANDLE hNamedPipe, LPVOID lpInBuffer, DWORD nInBufferSize,
                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead,
                       LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped) return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
  DWORD written;
  if (!WriteFile(hNamedPipe, lpInBuffer, nInBufferSize, &written, nullptr)) return FALSE;
  return ReadFile(hNamedPipe, lpOutBuffer, nOutBufferSize, lpBytesRead, nullptr);
}

BOOL CallNamedPipeA(LPCSTR lpNamedPipeName, LPVOID lpInBuffer, DWORD nInBufferSize,
                    LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead, DWORD nTimeOut) {
  if (lpBytesRead) *lpBytesRead = 0;
  HANDLE h = CreateFileA(lpNamedPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_PIPE_BUSY && GetLastError() != ERROR_FILE_NOT_FOUND) return FALSE;
    if (!WaitNamedPipeA(lpNamedPipeName, nTimeOut)) return FALSE;
    h = CreateFileA(lpNamedPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
  }
  auto p = LookupPipe(h);
  if (p) p->SetReadMode(true);  // refused, and left in byte mode, on a byte-type pipe
  BOOL ok = TransactNamedPipe(h, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                              lpBytesRead, nullptr);
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(err);
  return ok;
}

BOOL CallNamedPipeW(LPCWSTR lpNamedPipeName, LPVOID lpInBuffer, DWORD nInBufferSize,
                    LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesRead, DWORD nTimeOut) {
  bool null_name;
  auto name = NarrowName(lpNamedPipeName, &null_name);
  if (!name) return FALSE;
  return CallNamedPipeA(null_name ? nullptr : name->c_str(), lpInBuffer, nInBufferSize, lpOutBuffer,
                        nOutBufferSize, lpBytesRead, nTimeOut);
}

BOOL GetNamedPipeClientProcessId(HANDLE Pipe, PULONG ClientProcessId) {
  uint32_t pid = 0;
  if (!PipePeerCredentials(Pipe, &pid, nullptr, nullptr)) return FALSE;
  if (ClientProcessId) *ClientProcessId = pid;
  return TRUE;
}

BOOL CreatePipe(LPHANDLE hReadPipe, LPHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD nSize) {
  if (hReadPipe == nullptr || hWritePipe == nullptr)
    return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    return SetLastErrorFromErrno(errno), FALSE;
  ::shutdown(fds[0], SHUT_WR);
  ::shutdown(fds[1], SHUT_RD);
  *hReadPipe = HandleTable::Get().Insert(std::make_shared<PipeEnd>(nullptr, fds[0], false, false));
  *hWritePipe = HandleTable::Get().Insert(std::make_shared<PipeEnd>(nullptr, fds[1], false, false));
  return TRUE;
}

}  // extern "C"
