// Event records, the trace log, the common mapping and the open security
// attributes. The system log is a datagram listener of the test's own, reached
// through QX_EVENTLOG_SOCKET. The trace log keeps its file open per process, as
// it should, so each trace-log test needs a process of its own (ctest runs every
// test in one).
#include "qxnuc.h"

#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

using qx::testing::ReadFile;
using qx::testing::TestRoot;

// A syslog daemon stand-in: a datagram socket the records are sent to.
class LogListener {
 public:
  LogListener() {
    path_ = TestRoot() + "/log.sock";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setenv("QX_EVENTLOG_SOCKET", path_.c_str(), 1);
  }
  ~LogListener() {
    ::close(fd_);
    unsetenv("QX_EVENTLOG_SOCKET");
  }
  std::string Next() {
    char buf[9000];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "<none>";
  }

 private:
  std::string path_;
  int fd_;
};

std::vector<std::string> Lines(const std::string& text, const char* sep = "\n") {
  std::vector<std::string> out;
  size_t at = 0, next;
  while ((next = text.find(sep, at)) != std::string::npos) {
    out.push_back(text.substr(at, next - at));
    at = next + std::strlen(sep);
  }
  if (at < text.size()) out.push_back(text.substr(at));
  return out;
}

TEST(Components, LookupIgnoresCaseAllIsTheFirstUnknownIsNull) {
  ASSERT_NE(QXInitab("ALL"), nullptr);
  EXPECT_STREQ(QXInitab("ALL")->szKey, "COM");
  EXPECT_STREQ(QXInitab("sec")->lpszDisplayName, "QX-Tessary/Security");
  EXPECT_EQ(QXInitab("SCH")->nNumber, 4);
  EXPECT_STREQ(QXInitab("END")->lpszDisplayName, "Null end component");
  EXPECT_EQ(QXInitab("XYZ"), nullptr);
  EXPECT_EQ(QXInitab(""), nullptr);
  EXPECT_EQ(QXInitab(nullptr), nullptr);
}

TEST(EventLog, RecordsReachTheSystemLogAndTheMirrorFile) {
  LogListener syslog;
  std::string mirror = TestRoot() + "/events.log";
  setenv("QX_EVENTLOG_FILE", mirror.c_str(), 1);

  QXEVENTREC rec{};
  rec.lpszText = "disk\nfull";
  rec.wEventType = 3;  // not a type: information
  std::memcpy(rec.szComponent, "XYZ", 4);
  rec.wCategory = 7;
  rec.wEventId = 65535;
  SetLastError(5);
  EXPECT_NE(QXLogEvent(&rec), 0);
  std::string got = syslog.Next();
  EXPECT_EQ(got.rfind("<14>", 0), 0u) << got;  // user.info
  EXPECT_NE(got.find(" QX-Tessary[" + std::to_string(getpid()) +
                     "]: Information category=7 id=65535: Component-QX-Tessary/Common | disk full"),
            std::string::npos)
      << got;

  // Error events carry the caller's last error; QXLogerror attaches the default
  // text with its own length (21 bytes), not 75.
  SetLastError(1460);
  EXPECT_NE(QXLogerror("it broke"), 0);
  got = syslog.Next();
  EXPECT_EQ(got.rfind("<11>", 0), 0u) << got;
  std::string hex;
  for (const char* p = "NO RAW DATA SUPPLIED"; *p; ++p) {
    char two[9];
    std::snprintf(two, sizeof two, "%02x", unsigned(static_cast<unsigned char>(*p)));
    hex += two;
  }
  EXPECT_NE(got.find("Error category=0 id=0: Component-QX-Tessary/Common,Getlasterror=1460 | "
                     "it broke | data=" +
                     hex + "00"),
            std::string::npos)
      << got;
  EXPECT_EQ(got.back(), '0');  // nothing after the 21 bytes

  rec.wEventType = QX_EVENT_AUDIT_SUCCESS;
  std::memcpy(rec.szComponent, "opr", 4);
  rec.lpszText = "ok";
  EXPECT_NE(QXLogEvent(&rec), 0);
  EXPECT_NE(
      syslog.Next().find("AuditSuccess category=7 id=65535: Component-QX-Tessary/Operator | ok"),
      std::string::npos);

  auto lines = Lines(ReadFile(mirror));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("Information category=7"), std::string::npos);
  EXPECT_NE(lines[1].find("Getlasterror=1460 | it broke"), std::string::npos);
  EXPECT_EQ(lines[2].size() > 21 && lines[2][4] == '-' && lines[2][19] == 'Z', true) << lines[2];
  unsetenv("QX_EVENTLOG_FILE");
}

TEST(EventLog, NoWhereToWriteIsReportedAsZero) {
  setenv("QX_EVENTLOG_SOCKET", (TestRoot() + "/nobody.sock").c_str(), 1);
  unsetenv("QX_EVENTLOG_FILE");
  EXPECT_EQ(QXLogerror("lost"), 0);
  EXPECT_EQ(QXLogEvent(nullptr), 0);
  unsetenv("QX_EVENTLOG_SOCKET");
}

std::string TraceFile(int cycle) {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  return qx::platform::TempDir() + "/QXSP_LOG_" + std::to_string(local.tm_yday % cycle) + ".TXT";
}

using TraceLogDeathTest = ::testing::Test;

TEST_F(TraceLogDeathTest, CycleLengthFromTheEnvironment) {
  struct Case {
    const char* value;
    int cycle;
  } cases[] = {{"1", 2}, {"400", 365}, {"0", 10}, {"", 10}, {"07", 10}, {"30", 30}, {nullptr, 10}};
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          if (c.value)
            setenv("QXSP_CIRC_NUMBER", c.value, 1);
          else
            unsetenv("QXSP_CIRC_NUMBER");
          QXLogtrace(0, nullptr, "cycle");
          std::string text = ReadFile(TraceFile(c.cycle));
          std::exit(text.find("cycle\r\n") != std::string::npos ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << (c.value ? c.value : "(unset)");
  }
}

TEST(TraceLog, LinesAreCutToFitAndStaleFilesStartOver) {
  unsetenv("QXSP_CIRC_NUMBER");
  std::string path = TraceFile(10);
  // Left over from an earlier cycle: written on another day.
  qx::testing::WriteFile(path, "OLD CYCLE\r\n");
  timeval old[2] = {{time(nullptr) - 3 * 86400, 0}, {time(nullptr) - 3 * 86400, 0}};
  ASSERT_EQ(::utimes(path.c_str(), old), 0);

  QXLogtrace(0, nullptr, "first");
  QXLogtrace(0, nullptr, std::string(3000, 'x').c_str());
  QXLogtrace(0, nullptr, "100% sure %s %n");
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("OLD CYCLE"), std::string::npos);
  EXPECT_EQ(text.rfind(" \r\n\r\n----Start of LogFIle on ", 0), 0u) << text.substr(0, 60);
  auto lines = Lines(text, "\r\n");
  ASSERT_EQ(lines.size(), 6u);  // " ", "", the header, three lines
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, ") P(0x%x) T(0x%x): ", unsigned(getpid()),
                unsigned(gettid()));
  EXPECT_EQ(lines[3].rfind("D("), 0u);
  EXPECT_NE(lines[3].find(std::string(prefix) + "first"), std::string::npos) << lines[3];
  EXPECT_EQ(lines[4].size(), 1022u);  // with "\r\n": 1024 bytes
  EXPECT_EQ(lines[4].back(), 'x');
  EXPECT_NE(lines[5].find("100% sure %s %n"), std::string::npos);

  // A file written today is appended to by a new process, never cut.
  pid_t child = fork();
  if (child == 0) {
    QXLogtrace(0, nullptr, "from the child");
    _exit(0);
  }
  int status;
  waitpid(child, &status, 0);
  text = ReadFile(path);
  EXPECT_NE(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("from the child"), std::string::npos);
}

TEST(TraceLog, ProcessesWritingTogetherKeepEveryLineWhole) {
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    pid_t c = fork();
    if (c == 0) {
      for (int i = 0; i < 50; ++i)
        QXLogtrace(0, nullptr,
                   ("writer " + std::to_string(p) + " line " + std::to_string(i) + " " +
                    std::string(200, char('a' + p)))
                       .c_str());
      _exit(0);
    }
    children.push_back(c);
  }
  for (pid_t c : children) {
    int status;
    waitpid(c, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int ours = 0;
  for (const auto& line : Lines(ReadFile(TraceFile(10)), "\r\n")) {
    if (line.find("writer ") == std::string::npos) continue;
    ++ours;
    char who = line[line.find("writer ") + 7];
    EXPECT_EQ(line.substr(line.size() - 200), std::string(200, char('a' + (who - '0'))));
  }
  EXPECT_EQ(ours, 200);
}

TEST(TraceLog, FlaggedLinesAlsoBecomeInformationEvents) {
  LogListener syslog;
  QXLogtrace(1,
             "raw bytes beyond seventy-five are never read: "
             "0123456789012345678901234567890123456789",
             "flagged line");
  std::string got = syslog.Next();
  EXPECT_EQ(got.rfind("<14>", 0), 0u);
  EXPECT_NE(got.find("Information category=0 id=0: Component-QX-Tessary/Common | flagged line | "
                     "data="),
            std::string::npos);
  EXPECT_EQ(got.size() - got.find("data=") - 5, 150u);  // 75 bytes in hex
  QXLogtrace(1, nullptr, "no raw");
  got = syslog.Next();
  EXPECT_NE(got.find("no raw | data=4e4f"), std::string::npos) << got;
  EXPECT_NE(ReadFile(TraceFile(10)).find("flagged line"), std::string::npos);
}

TEST(CommonMapping, NullUntilSomeoneCreatesItThenTheWholeMapping) {
  EXPECT_EQ(QXGetCommonMapping(FILE_MAP_READ), nullptr);
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 300,
                                "Global\\QX_COMMON_TESSARY_STORAGE");
  ASSERT_NE(m, nullptr);
  char* w = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
  std::strcpy(w + 290, "tail");
  char* view = static_cast<char*>(QXGetCommonMapping(FILE_MAP_READ));
  ASSERT_NE(view, nullptr);
  EXPECT_STREQ(view + 290, "tail");
  QXDropCommonMapping(view);
  UnmapViewOfFile(w);
  CloseHandle(m);
  EXPECT_EQ(QXGetCommonMapping(FILE_MAP_READ), nullptr);
}

TEST(Dacl, OpenAttributesForEveryoneAndInheritanceFromTheContext) {
  void* sd = nullptr;
  QXCONTEXTOPTIONS ctx{QX_CONTEXT_INHERIT};
  LPSECURITY_ATTRIBUTES sa = QXCreateDacl(&ctx, &sd);
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_EQ(sa->lpSecurityDescriptor, sd);
  EXPECT_TRUE(sa->bInheritHandle);
  HANDLE m = CreateMutexA(sa, FALSE, "Global\\QX.DACL");
  struct stat st;
  ASSERT_EQ(::stat((std::string(getenv("QX_RUNTIME_DIR")) + "/kobj/global/QX.DACL").c_str(), &st),
            0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  CloseHandle(m);
  EXPECT_EQ(QXDeleteDacl(sa), 1);
  ctx.dwOptions = 2;
  sa = QXCreateDacl(&ctx, nullptr);
  EXPECT_FALSE(sa->bInheritHandle);
  EXPECT_EQ(QXDeleteDacl(sa), 1);
  sa = QXCreateDacl(nullptr, nullptr);
  EXPECT_FALSE(sa->bInheritHandle);
  EXPECT_EQ(QXDeleteDacl(sa), 1);
  EXPECT_EQ(QXDeleteDacl(nullptr), 0);
}

}  // namespace
