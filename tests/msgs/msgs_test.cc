// The message facility across programs: catalogs written by Python's struct
// module, the message compiler's output read back field by field, the product's
// own catalogs, and QXmsgf from many threads.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <qxcomn.h>
#include <qxplatform/registry.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

using namespace std::string_literals;

namespace {

using qx::testing::BuildBinDir;
using qx::testing::BuildLibDir;
using qx::testing::ReadFile;
using qx::testing::RunCommand;
using qx::testing::TestRoot;
using qx::testing::WriteFile;

std::string Lookup(uint32_t id, const QXMSGVALUE* values = nullptr, DWORD* status = nullptr) {
  QXMSGDESC desc{};
  desc.dwMsgId = id;
  DWORD st = qximsgv(nullptr, 0, &desc, values, QX_MSGMODE_LONG);
  if (status) *status = st;
  return desc.szText;
}

void UseFolders(const std::string& dpath) {
  ::setenv("DPATH", dpath.c_str(), 1);
  QX_init_file();
}

uint32_t U32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
         uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
}

// A catalog writer in Python, independent of the compiler and of qxcomn.
constexpr const char* kPythonWriter = R"PY(
import struct, sys

def catalog(facilities):
    count = sum(len(msgs) for _, _, msgs in facilities)
    index_end = 160 + 20 * len(facilities) + 20 * count + 20
    out = bytearray(160)
    texts = bytearray()
    for name, number, msgs in facilities:
        out += struct.pack('<12sII', name.encode(), number, len(msgs))
        for num, order, text in msgs:
            order_bytes = bytes(order) + (b'\x30' if len(order) < 12 else b'')
            out += struct.pack('<I12sI', num, order_bytes, index_end + len(texts))
            texts += text.encode() + b'\0'
    out += struct.pack('<12sII', b'', 0xFFFFFFFF, 0)
    assert len(out) == index_end
    return bytes(out + texts)

folder = sys.argv[1]
with open(folder + '/FAC357.dat', 'wb') as f:
    f.write(catalog([('PYFAC', 357, [
        (1, [], '-I-PLAIN, plain %s'),
        (2, [3, 1, 2], '-E-ROT, %s/%s/%s'),
        (4095, [], '-F-LAST, last %d'),
    ])]))
with open(folder + '/FAC001.dat', 'wb') as f:
    f.write(catalog([('ONE', 1, [(1, [], '-S-ONE, one')]),
                     ('NINETY9', 99, [(7, [2], '-W-SECOND, %s')])]))
)PY";

TEST(MessageFiles, CatalogsWrittenByPythonAreRead) {
  std::string dir = TestRoot() + "/py";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/writer.py", kPythonWriter);
  ASSERT_EQ(RunCommand(std::string(QX_PYTHON) + " " + dir + "/writer.py " + dir), 0);
  UseFolders(dir);
  QXMSGVALUE v[12] = {reinterpret_cast<QXMSGVALUE>("a"), reinterpret_cast<QXMSGVALUE>("b"),
                      reinterpret_cast<QXMSGVALUE>("c")};
  EXPECT_EQ(Lookup(QX_MSGID(357, 1, 3), v), "%PYFAC-I-PLAIN, plain a");
  EXPECT_EQ(Lookup(QX_MSGID(357, 2, 2), v), "%PYFAC-E-ROT, c/a/b");
  QXMSGVALUE n[12] = {4095};
  EXPECT_EQ(Lookup(QX_MSGID(357, 4095, 4), n), "%PYFAC-F-LAST, last 4095");
  EXPECT_EQ(Lookup(QX_MSGID(1, 1, 1)), "%ONE-S-ONE, one");
  EXPECT_EQ(Lookup(QX_MSGID(99, 7, 0), v), "%NINETY9-W-SECOND, b");
}

TEST(MessageFiles, CompilerOutputFieldByField) {
  std::string dir = TestRoot() + "/cc";
  RunCommand("mkdir -p " + dir + "/out");
  WriteFile(dir + "/a.msg",
            ".FACILITY ALPHA 357\n.SEVERITY ERROR\n.BASE 10\nFIRST first %s\n"
            "SECOND /ORDER=2,1 %d then %s\n.END\n"
            ".FACILITY LOW 8\n.SEVERITY WARNING\nLOWONE low\n.END\n");
  WriteFile(dir + "/b.msg", ".SEVERITY SUCCESS\n.FACILITY BETA 12\nB beta\n.END\n");
  ASSERT_EQ(
      RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + "/out " + dir + "/a.msg " + dir + "/b.msg"),
      0);

  std::string f = ReadFile(dir + "/out/FAC357.dat");
  ASSERT_EQ(f.size(), 160u + 20 + 40 + 20 + std::strlen("-E-FIRST, first %s") + 1 +
                          std::strlen("-E-SECOND, %d then %s") + 1);
  EXPECT_EQ(f.substr(0, 8), "QXMSGCAT");
  EXPECT_EQ(U32(f, 8), 1u);     // format version
  EXPECT_EQ(U32(f, 12), 1u);    // facilities
  EXPECT_EQ(U32(f, 16), 2u);    // messages
  EXPECT_EQ(U32(f, 20), 240u);  // index end
  EXPECT_EQ(U32(f, 24), f.size());
  EXPECT_EQ(f.substr(28, 7), std::string("FAC357\0", 7));
  EXPECT_EQ(f.substr(160, 12), std::string("ALPHA\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(U32(f, 172), 357u);
  EXPECT_EQ(U32(f, 176), 2u);
  EXPECT_EQ(U32(f, 180), 10u);
  EXPECT_EQ(f.substr(184, 12), std::string("0\0\0\0\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(U32(f, 196), 240u);  // the index end is the first text's offset
  EXPECT_EQ(U32(f, 200), 11u);
  EXPECT_EQ(f.substr(204, 12), std::string("\x02\x01"
                                           "0\0\0\0\0\0\0\0\0\0",
                                           12));
  uint32_t second_text = U32(f, 216);
  EXPECT_EQ(f.substr(220, 12), std::string(12, '\0'));  // end record
  EXPECT_EQ(U32(f, 232), 0xFFFFFFFFu);
  EXPECT_EQ(U32(f, 236), 0u);
  EXPECT_EQ(std::string(f.c_str() + 240), "-E-FIRST, first %s");
  EXPECT_EQ(std::string(f.c_str() + second_text), "-E-SECOND, %d then %s");

  // Facilities 8 and 12 share FAC001.dat, in source order.
  std::string low = ReadFile(dir + "/out/FAC001.dat");
  ASSERT_GT(low.size(), 240u);
  EXPECT_EQ(U32(low, 12), 2u);
  EXPECT_EQ(low.substr(160, 4), "LOW\0"s);
  EXPECT_EQ(U32(low, 172), 8u);
  EXPECT_EQ(low.substr(200, 5), "BETA\0"s);
  EXPECT_EQ(U32(low, 212), 12u);

  // And the catalog reads what the compiler wrote.
  UseFolders(dir + "/out");
  QXMSGVALUE v[12] = {reinterpret_cast<QXMSGVALUE>("s"), 5};
  EXPECT_EQ(Lookup(QX_MSGID(357, 11, 2), v), "%ALPHA-E-SECOND, 5 then s");
  EXPECT_EQ(Lookup(QX_MSGID(12, 1, 1)), "%BETA-S-B, beta");
  EXPECT_EQ(Lookup(QX_MSGID(8, 1, 0)), "%LOW-W-LOWONE, low");
}

TEST(MessageFiles, CompilerErrorsWriteNothing) {
  std::string dir = TestRoot() + "/bad";
  RunCommand("mkdir -p " + dir + "/out");
  WriteFile(dir + "/bad.msg", ".FACILITY ALPHA 357\n.SEVERITY ERROR\nFIRST first\n");
  std::string out;
  EXPECT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + "/out " + dir + "/bad.msg 2>&1", &out),
            1);
  EXPECT_NE(out.find("bad.msg:3: %QXIMSGV_F_0004 No END directive for this facility 'ALPHA'"),
            std::string::npos)
      << out;
  EXPECT_EQ(
      RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + "/out " + dir + "/none.msg 2>&1", &out), 1);
  EXPECT_NE(out.find("%QXIMSGV_F_0003 File Not Found or Access denied"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir + "/out/FAC357.dat"), "");
  EXPECT_EQ(RunCommand(BuildBinDir() + "/qxmsgc 2>/dev/null"), 2);
}

TEST(MessageFiles, AProcessFindsTheFilesOfItsLanguageCode) {
  // Files of a language compiled by qxmsgc beside those without one, read by
  // processes started with the code in their environment or in the machine
  // store.
  std::string dir = TestRoot() + "/lang";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/enu.msg", ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\nHELLO hello\n.END\n");
  WriteFile(dir + "/fra.msg",
            ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\nHELLO bonjour\n.END\n"
            ".FACILITY QXERRNO 8\n.SEVERITY ERROR\nERRNO erreur %d : %s\n.END\n");
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/enu.msg"), 0);
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -o " + dir + "/F357fra.dat " + dir + "/fra.msg"),
            0);
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -o " + dir + "/F001fra.dat " + dir + "/fra.msg"),
            0);
  auto run = [&](const std::string& language, uint32_t id) {
    std::string out;
    RunCommand("env -u UserLangCode " + language + " DPATH='" + dir + "' " + BuildBinDir() +
                   "/msg_lookup " + std::to_string(id),
               &out);
    return out;
  };
  auto twice = [](const std::string& text) { return text + "\n" + text + "\n"; };
  const uint32_t hello = QX_MSGID(357, 1, 3);
  EXPECT_EQ(run("", hello), twice("%QXTRAP-I-HELLO, hello"));
  EXPECT_EQ(run("UserLangCode=fra", hello), twice("%QXTRAP-I-HELLO, bonjour"));
  // Facilities below 100 share F001fra.dat (qximsgv's line first, without values).
  EXPECT_EQ(
      run("UserLangCode=fra", QX_MSGID(8, 1, 2)).rfind("%QXERRNO-E-ERRNO, erreur %d : %s\n", 0),
      0u);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Tessary ZEL", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "UserLangCode", 0, REG_SZ, reinterpret_cast<const BYTE*>("fra"), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(run("", hello), twice("%QXTRAP-I-HELLO, bonjour"));
  // The variable comes first, even a code that is none.
  EXPECT_EQ(run("'UserLangCode= fr'", hello), twice("%QXTRAP-I-HELLO, hello"));
}

TEST(MessageFiles, TheProductCatalogsAreFoundWithoutDpath) {
  ::unsetenv("DPATH");
  QX_init_file();
  QXMSGVALUE v[12] = {2, reinterpret_cast<QXMSGVALUE>("No such file or directory")};
  EXPECT_EQ(Lookup(0x0808800Au, v), "%QXERRNO-E-ERRNO, errno 2: No such file or directory");
}

TEST(MessageFiles, ThreadsPrintWholeLines) {
  std::string dir = TestRoot() + "/threads";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/t.msg",
            ".FACILITY QXTEST 357\n.SEVERITY INFORMATIONAL\nLINE thread %d message %d\n.END\n");
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/t.msg"), 0);
  const int kThreads = 8, kCalls = 10000;
  ASSERT_EQ(
      RunCommand("LC_ALL=C DPATH=" + dir + " " + BuildBinDir() + "/msgf_threads " +
                 std::to_string(kThreads) + " " + std::to_string(kCalls) + " 2>" + dir + "/err"),
      0);
  std::istringstream in(ReadFile(dir + "/err"));
  std::string line;
  std::vector<int> next(kThreads, 0);
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%%QXTEST-I-LINE, thread %d message %d  %n", &t, &i, &used),
              2)
        << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    ASSERT_EQ(i, next[t]) << line;  // each thread's lines whole and in order
    ++next[t];
    // The rest is the date and time, nothing of another line.
    std::string stamp = line.substr(size_t(used));
    ASSERT_TRUE(stamp.size() < 48 && stamp.find('%') == std::string::npos) << line;
    if (lines % 997 == 0) {
      ASSERT_TRUE(::testing::internal::RE::FullMatch(
          stamp, "[A-Z][a-z]+day [A-Z][a-z]+ [ 0-9][0-9] [0-9]{4} [0-9:]{8}"))
          << line;
    }
  }
  EXPECT_EQ(lines, kThreads * kCalls);
}

// The event console and operator libraries are the test stand-ins in testlib/,
// which record each call as a line.
class OutsideLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = TestRoot() + "/evt";
    RunCommand("mkdir -p " + dir);
    WriteFile(dir + "/e.msg",
              ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\n.BASE 61\nARG value %s\n.END\n"
              ".FACILITY QXSHED 400\n.SEVERITY ERROR\nJOB job %s failed\n"
              "MANY %d %d %d %d %d %d %d %d %d %d %d %d\n.END\n");
    ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/e.msg"), 0);
    UseFolders(dir);
    evt_ = dir + "/evt.log";
    opr_ = dir + "/opr.log";
    ::setenv("QXEVT_RECORD_FILE", evt_.c_str(), 1);
    ::setenv("QXOPRC_RECORD_FILE", opr_.c_str(), 1);
    ::setenv("QX_LIB_PATH", (BuildBinDir() + "/../testlib").c_str(), 1);
    ::unsetenv("QX_QXIDEBUG");
  }
  std::string evt_, opr_;
};

TEST_F(OutsideLibraries, EventRecordsOnlyWhenTheFlagsAllow) {
  // The workload tag is set from the option at the first QXmsgf call of the
  // process: this program calls QXmsgf nowhere before.
  ::setenv("QXISCHD0005", "nightly", 1);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | 1, "x");
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | QXMSGF_NO_EVENT | 1, "no");
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), 1, "none");
  QXmsgf(2, 1, "a.c", QX_MSGID(400, 1, 2), QXMSGF_EVENT | 1, "J1");
  ToggleSuppressConsole(1);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | 1, "suppressed");
  ToggleSuppressConsole(0);
  // The extra value precedes twelve substitution values.
  QXmsgf(2, 1, "a.c", QX_MSGID(400, 2, 2), QXMSGF_EVENT | QXMSGF_EXTRA_VALUE, 77u, 1, 2, 3, 4, 5, 6,
         7, 8, 9, 10, 11, 12);
  // The wide form forwards a narrow copy, without workload tag or extra value.
  QXmsgfw(2, 1, u"w.c", QX_MSGID(400, 1, 2), QXMSGF_EVENT | 1, u"W\u00e9");
  // A missing facility still goes to the console, without a facility name.
  QXmsgf(2, 1, "a.c", QX_MSGID(358, 3, 4), QXMSGF_EVENT, "x");
  EXPECT_EQ(
      ReadFile(evt_),
      "0|61|I|%QXTRAP-I-ARG, value x\\n|(null)|QXTRAP|0|zero\n"
      "0|1|E|%QXSHED-E-JOB, job J1 failed\\n|WQ_Workload,nightly|QXSHED|0|zero\n"
      "0|2|E|%QXSHED-E-MANY, 1 2 3 4 5 6 7 8 9 10 11 12\\n|WQ_Workload,nightly|QXSHED|77|zero\n"
      "0|1|E|%QXSHED-E-JOB, job W\u00e9 failed\\n|(null)|QXSHED|0|zero\n"
      "0|3|F|Facility #358, Severity Level 'FATAL', Message File 'FAC358' NOT FOUND\\n|(null)|"
      "(null)|0|zero\n");
}

int Refuse(const char*) {
  return 1;
}

TEST_F(OutsideLibraries, AVerifyProcedureStopsOnlyThePrint) {
  QXmsgfSetVerifyProc(Refuse);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | QXMSGF_LOCAL | 1, "v");
  QXmsgfSetVerifyProc(nullptr);
  EXPECT_EQ(ReadFile(evt_), "0|61|I|%QXTRAP-I-ARG, value v\\n|(null)|QXTRAP|0|zero\n");
}

TEST_F(OutsideLibraries, MessagefGoesToTheOperatorLibrary) {
  char buf[64];
  messagef(2, 1, "a.c", buf, sizeof buf, 400u << 16, 1, 2, QXMSGF_EVENT, 1, "op");
  messagef(2, 1, "a.c", buf, sizeof buf, 400u << 16, 1, 2, QXMSGF_EVENT | QXMSGF_NO_EVENT, 1, "no");
  messagef(2, 1, "a.c", buf, sizeof buf, 400u << 16, 1, 2, 0, 1, "none");
  EXPECT_EQ(ReadFile(opr_), "%QXSHED-E-JOB, job op failed\\n\n");
  EXPECT_EQ(ReadFile(evt_), "");
}

TEST_F(OutsideLibraries, MissingLibrariesAreTriedAgain) {
  ::setenv("QX_LIB_PATH", (TestRoot() + "/nowhere").c_str(), 1);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | 1, "lost");
  messagef(2, 1, "a.c", nullptr, 0, 357u << 16, 61, 3, QXMSGF_EVENT, 1, "lost");
  // Once a library is bound it stays bound; this holds only for a fresh process.
  if (ReadFile(evt_).empty()) {
    ::setenv("QX_LIB_PATH", (BuildBinDir() + "/../testlib").c_str(), 1);
    QXmsgf(2, 1, "a.c", QX_MSGID(357, 61, 3), QXMSGF_EVENT | 1, "found");
    EXPECT_EQ(ReadFile(evt_), "0|61|I|%QXTRAP-I-ARG, value found\\n|(null)|QXTRAP|0|zero\n");
  }
}

std::vector<std::string> g_local_lines;
int Keep(const char* line) {
  g_local_lines.push_back(line);
  return 1;
}

// The local line's date and time follow the user's locale: a German locale built
// with localedef into the test's folder (LOCPATH), then US English.
// The dynamic loader's own file: a program run through it can be told where to
// find its libraries.
std::string LoaderPath() {
  Dl_info info{};
  void* base = reinterpret_cast<void*>(getauxval(AT_BASE));
  if (base == nullptr || dladdr(base, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

TEST(StoreLibrary, WithoutItTheCatalogSeesNoVariables) {
  // A process that cannot load libqxenv: DPATH and QX_QXIDEBUG are as good as
  // unset, so the catalog searches its default folder only (there is none
  // beside this library folder) and adds no debug suffix. msg_lookup runs through
  // the loader with the project's libraries from a folder of its own and the
  // build tree's search paths in them ignored.
  std::string loader = LoaderPath();
  ASSERT_FALSE(loader.empty());
  std::string dir = TestRoot() + "/msg";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/l.msg", ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\nHELLO hello\n.END\n");
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/l.msg"), 0);
  std::string lib = TestRoot() + "/noenv/lib";
  RunCommand("mkdir -p " + lib);
  std::string ignored = BuildBinDir() + "/msg_lookup";
  auto add = [&](const std::string& name) {
    ASSERT_EQ(::symlink((BuildLibDir() + "/" + name).c_str(), (lib + "/" + name).c_str()), 0);
    ignored += ":" + lib + "/" + name;
  };
  DIR* libs = ::opendir(BuildLibDir().c_str());
  ASSERT_NE(libs, nullptr);
  while (dirent* e = ::readdir(libs)) {
    std::string name = e->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0 && name != "libqxenv.so")
      add(name);
  }
  ::closedir(libs);
  auto run = [&] {
    std::string out;
    RunCommand("DPATH='" + dir + "' QX_QXIDEBUG=1 " + loader + " --inhibit-rpath '" + ignored +
                   "' --library-path '" + lib + "' " + BuildBinDir() + "/msg_lookup " +
                   std::to_string(QX_MSGID(357, 1, 3)),
               &out);
    return out;
  };
  std::string not_found =
      "Facility #357, Severity Level 'INFORMATIONAL', Message File 'FAC357' NOT FOUND";
  EXPECT_EQ(run(), not_found + "\n" + not_found + "\n");
  // With libqxenv in the folder the variables count again.
  add("libqxenv.so");
  EXPECT_EQ(run(), "%QXTRAP-I-HELLO, hello\n%QXTRAP-I-HELLO, hello  | lookup.c_7\n");
}

TEST(OpenedLater, TheLibraryLoadsIntoARunningProcessAndLooksUp) {
  // A process that opens libqxcomn after start-up has only the loader's small
  // reserve for the library's thread-local data: the library must fit it.
  std::string dir = TestRoot() + "/later";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/l.msg", ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\nHELLO hello\n.END\n");
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/l.msg"), 0);
  std::string out;
  EXPECT_EQ(RunCommand("DPATH='" + dir + "' " + BuildBinDir() + "/msg_dlopen " + BuildLibDir() +
                           "/libqxcomn.so " + std::to_string(QX_MSGID(357, 1, 3)),
                       &out),
            0)
      << out;
  EXPECT_EQ(out, "%QXTRAP-I-HELLO, hello\n");
}

TEST(LocalLine, DateAndTimeInTheUsersLocale) {
  std::string loc = TestRoot() + "/locales";
  RunCommand("mkdir -p " + loc);
  ASSERT_EQ(RunCommand("localedef -i de_DE -f UTF-8 " + loc +
                       "/de_DE.UTF-8 >/dev/null 2>&1 && "
                       "localedef -i en_US -f UTF-8 " +
                       loc + "/en_US.UTF-8 >/dev/null 2>&1"),
            0);
  ::setenv("LOCPATH", loc.c_str(), 1);
  std::string dir = TestRoot() + "/msg";
  RunCommand("mkdir -p " + dir);
  WriteFile(dir + "/l.msg", ".FACILITY QXTRAP 357\n.SEVERITY INFORMATIONAL\nHELLO hello\n.END\n");
  ASSERT_EQ(RunCommand(BuildBinDir() + "/qxmsgc -d " + dir + " " + dir + "/l.msg"), 0);
  UseFolders(dir);
  QXmsgfSetVerifyProc(Keep);
  static const char* const kTage[] = {"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                                      "Donnerstag", "Freitag", "Samstag"};
  static const char* const kMonate[] = {"Januar",    "Februar", "M\u00e4rz", "April",
                                        "Mai",       "Juni",    "Juli",      "August",
                                        "September", "Oktober", "November",  "Dezember"};
  static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
  static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
  ::unsetenv("LC_ALL");
  ::setenv("LANG", "C", 1);
  ::setenv("LC_TIME", "de_DE.UTF-8", 1);
  std::time_t now = std::time(nullptr);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 1, 3), QXMSGF_LOCAL);
  // LC_ALL overrides LC_TIME.
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
  QXmsgf(2, 1, "a.c", QX_MSGID(357, 1, 3), QXMSGF_LOCAL);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_TIME");
  ::unsetenv("LANG");
  QXmsgfSetVerifyProc(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  ASSERT_EQ(g_local_lines.size(), 2u);
  char expect[128];
  std::snprintf(expect, sizeof expect, "%%QXTRAP-I-HELLO, hello  %s %d. %s %d ", kTage[tm.tm_wday],
                tm.tm_mday, kMonate[tm.tm_mon], tm.tm_year + 1900);
  EXPECT_EQ(g_local_lines[0].rfind(expect, 0), 0u) << g_local_lines[0];
  EXPECT_TRUE(::testing::internal::RE::FullMatch(g_local_lines[0].substr(std::strlen(expect)),
                                                 "[0-9]{2}:[0-9]{2}:[0-9]{2}\n"))
      << g_local_lines[0];
  std::snprintf(expect, sizeof expect, "%%QXTRAP-I-HELLO, hello  %s %s %2d %d ", kDays[tm.tm_wday],
                kMonths[tm.tm_mon], tm.tm_mday, tm.tm_year + 1900);
  EXPECT_EQ(g_local_lines[1].rfind(expect, 0), 0u) << g_local_lines[1];
  EXPECT_TRUE(::testing::internal::RE::FullMatch(g_local_lines[1].substr(std::strlen(expect)),
                                                 "[0-9]{2}:[0-9]{2}:[0-9]{2} [AP]M\n"))
      << g_local_lines[1];
}

}  // namespace
