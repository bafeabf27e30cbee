// Named pipes between real processes: message framing, peers that die, bad frames.
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/pipe.h>
#include <qxplatform/security.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "child.h"
#include "test_env.h"

namespace {

using qx::testing::Child;
using qx::testing::RuntimeLeftovers;

HANDLE Open(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Reads one whole message in message read mode, through a small buffer.
std::string ReadMessage(HANDLE h, DWORD chunk = 7) {
  std::string out;
  for (;;) {
    std::string buf(chunk, '\0');
    DWORD got = 0;
    BOOL ok = ReadFile(h, buf.data(), chunk, &got, nullptr);
    out.append(buf.data(), got);
    if (ok) return out;
    if (GetLastError() != ERROR_MORE_DATA) return "<error " + std::to_string(GetLastError()) + ">";
  }
}

TEST(Pipe, MessageModeKeepsBoundariesAndTheServerSeesOurUid) {
  const char* name = "\\\\.\\pipe\\QX_TEST_MSG";
  Child server({"pipe-serve", name, "message"});
  ASSERT_EQ(server.ReadLine(), "listening");
  HANDLE c = Open("\\\\.\\PIPE\\qx_test_msg");  // names ignore case
  ASSERT_NE(c, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(server.ReadLine(), "connected uid=" + std::to_string(getuid()));
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(c, &mode, nullptr, nullptr));
  // Three writes in a row stay three messages, whatever their sizes.
  std::string big(100000, 'b');
  DWORD put;
  ASSERT_TRUE(WriteFile(c, "one", 3, &put, nullptr));
  ASSERT_TRUE(WriteFile(c, big.data(), DWORD(big.size()), &put, nullptr));
  ASSERT_TRUE(WriteFile(c, "three!", 6, &put, nullptr));
  EXPECT_EQ(server.ReadLine(), "message 3");
  EXPECT_EQ(server.ReadLine(), "message 100000");
  EXPECT_EQ(server.ReadLine(), "message 6");
  EXPECT_EQ(ReadMessage(c), "one");
  EXPECT_EQ(ReadMessage(c, 4096), big);
  DWORD got, avail, left;
  char peek[4];
  ASSERT_TRUE(PeekNamedPipe(c, peek, sizeof peek, &got, &avail, &left) || true);
  EXPECT_EQ(ReadMessage(c), "three!");
  // Too big for one message: refused whole, nothing sent.
  std::string huge(kMaxPipeMessage + 1, 'x');
  EXPECT_FALSE(WriteFile(c, huge.data(), DWORD(huge.size()), &put, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // A request and its answer in one call.
  char answer[32] = {};
  DWORD read = 0;
  ASSERT_TRUE(
      TransactNamedPipe(c, const_cast<char*>("ping"), 4, answer, sizeof answer, &read, nullptr));
  EXPECT_EQ(std::string(answer, read), "ping");
  EXPECT_EQ(server.ReadLine(), "message 4");
  CloseHandle(c);
  EXPECT_EQ(server.ReadLine(), "end " + std::to_string(ERROR_BROKEN_PIPE));
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(Pipe, ServerThatDiesGivesItsClientsACleanError) {
  const char* name = "\\\\.\\pipe\\QX_TEST_DIES";
  auto server = std::make_unique<Child>(std::vector<std::string>{"pipe-hold", name});
  ASSERT_EQ(server->ReadLine(), "listening");
  HANDLE c = Open(name);
  ASSERT_NE(c, INVALID_HANDLE_VALUE);
  ASSERT_EQ(server->ReadLine(), "connected");
  // A reader blocked in ReadFile when the server dies returns, with an error.
  DWORD read_error = 0;
  std::thread reader([&] {
    char buf[8];
    DWORD got;
    if (!ReadFile(c, buf, sizeof buf, &got, nullptr)) read_error = GetLastError();
  });
  Sleep(50);
  server->Kill();
  reader.join();
  EXPECT_EQ(read_error, DWORD(ERROR_BROKEN_PIPE));
  DWORD put;
  EXPECT_FALSE(WriteFile(c, "x", 1, &put, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_DATA));
  CloseHandle(c);
  // Its socket file is left; a new client finds nobody, a new server takes over.
  EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE s = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 0, 0, 0, nullptr);
  ASSERT_NE(s, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(s);
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(Pipe, TruncatedAndOversizedFramesDoNotKillTheServer) {
  const char* name = "\\\\.\\pipe\\QX_TEST_FRAMES";
  HANDLE byte_server =
      CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 2, 0, 0, 0, nullptr);
  ASSERT_NE(byte_server, INVALID_HANDLE_VALUE);
  // Another process may not serve the same name meanwhile, nor a second first instance.
  EXPECT_EQ(CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE, 2, 0, 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  {
    // A client writes half a frame and dies.
    Child partial({"pipe-partial", name, "300"});
    ASSERT_TRUE(ConnectNamedPipe(byte_server, nullptr));
    std::string got;
    char buf[128];
    DWORD n;
    while (ReadFile(byte_server, buf, sizeof buf, &n, nullptr)) got.append(buf, n);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    EXPECT_EQ(got, std::string(300, 'h'));
    EXPECT_EQ(partial.Wait(), -SIGKILL);
  }
  // The instance serves the next client after a disconnect.
  ASSERT_TRUE(DisconnectNamedPipe(byte_server));
  std::thread client([&] {
    HANDLE c = Open(name);
    DWORD put;
    WriteFile(c, "next", 4, &put, nullptr);
    CloseHandle(c);
  });
  ASSERT_TRUE(ConnectNamedPipe(byte_server, nullptr));
  EXPECT_FALSE(ConnectNamedPipe(byte_server, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PIPE_CONNECTED));
  char buf[16];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(byte_server, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "next");
  client.join();
  CloseHandle(byte_server);

  // A message larger than the server's buffer: ERROR_MORE_DATA, then the rest.
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES everyone{sizeof everyone, &sd, FALSE};
  HANDLE msg_server = CreateNamedPipeA(
      name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0, &everyone);
  ASSERT_NE(msg_server, INVALID_HANDLE_VALUE);
  struct stat st;
  ASSERT_EQ(stat((std::string(getenv("QX_RUNTIME_DIR")) + "/pipe/qx_test_frames").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  HANDLE c = Open(name);
  ASSERT_TRUE(ConnectNamedPipe(msg_server, nullptr));
  std::string oversized(5000, 'o');
  DWORD put;
  ASSERT_TRUE(WriteFile(c, oversized.data(), DWORD(oversized.size()), &put, nullptr));
  ASSERT_TRUE(WriteFile(c, "after", 5, &put, nullptr));
  char small[100];
  EXPECT_FALSE(ReadFile(msg_server, small, sizeof small, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 100u);
  DWORD avail = 0, left = 0;
  ASSERT_TRUE(PeekNamedPipe(msg_server, nullptr, 0, nullptr, &avail, &left));
  EXPECT_EQ(avail, 4900u);
  EXPECT_EQ(ReadMessage(msg_server, 1000), std::string(4900, 'o'));
  EXPECT_EQ(ReadMessage(msg_server), "after");
  ULONG pid = 0;
  EXPECT_TRUE(GetNamedPipeClientProcessId(msg_server, &pid));
  EXPECT_EQ(pid, ULONG(getpid()));
  CloseHandle(c);
  CloseHandle(msg_server);
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(Pipe, CallNamedPipeWaitsAndNamesAreChecked) {
  const char* name = "\\\\.\\pipe\\QX_TEST_CALL";
  char out[16];
  DWORD read = 0;
  EXPECT_FALSE(CallNamedPipeA(name, const_cast<char*>("hi"), 2, out, sizeof out, &read, 30));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SEM_TIMEOUT));
  Child server({"pipe-serve", name, "message"});
  ASSERT_EQ(server.ReadLine(), "listening");
  ASSERT_TRUE(CallNamedPipeA(name, const_cast<char*>("hello"), 5, out, sizeof out, &read,
                             NMPWAIT_WAIT_FOREVER));
  EXPECT_EQ(std::string(out, read), "hello");
  EXPECT_EQ(Open("\\\\elsewhere\\pipe\\QX_TEST_CALL"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
  EXPECT_EQ(CreateNamedPipeA("\\\\.\\notpipe\\x", PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));

  // Anonymous pipes: bytes through, then a broken pipe once the writer closes.
  HANDLE r, w;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  DWORD put;
  EXPECT_TRUE(WriteFile(w, "abc", 3, &put, nullptr));
  CloseHandle(w);
  EXPECT_TRUE(ReadFile(r, out, sizeof out, &read, nullptr));
  EXPECT_EQ(std::string(out, read), "abc");
  EXPECT_FALSE(ReadFile(r, out, sizeof out, &read, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
  CloseHandle(r);
}

}  // namespace
