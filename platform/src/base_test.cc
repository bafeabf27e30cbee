#include <gtest/gtest.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

using namespace qx::platform;

TEST(Folders, ComeFromEnvironmentAndAreCreated) {
  std::string root = qx::testing::TestRoot();
  setenv("QX_STATE_DIR", (root + "/deep/state").c_str(), 1);
  EXPECT_EQ(StateDir(), root + "/deep/state");
  struct stat st;
  ASSERT_EQ(stat((root + "/deep/state").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(SystemRoot(), root + "/deep/state/system");
  setenv("QX_SYSTEM_ROOT", (root + "/win").c_str(), 1);
  EXPECT_EQ(SystemRoot(), root + "/win");
  EXPECT_EQ(RuntimeDir(), root + "/run");

  setenv("TMPDIR", "", 1);
  setenv("TMP", "/t1", 1);
  EXPECT_EQ(TempDir(), "/t1");
  char buf[16];
  EXPECT_EQ(GetTempPathA(sizeof buf, buf), 4u);
  EXPECT_STREQ(buf, "/t1/");
  EXPECT_EQ(GetTempPathA(3, buf), 5u);  // the size needed, with the NUL
  unsetenv("TMP");
  unsetenv("TEMP");
  EXPECT_EQ(TempDir(), "/tmp");

  // A file where a folder should be gives "" and an error, not a crash.
  qx::testing::WriteFile(root + "/afile", "x");
  setenv("QX_STATE_DIR", (root + "/afile/state").c_str(), 1);
  EXPECT_EQ(StateDir(), "");
}

TEST(System, ComputerNameIsTheFirstHostLabel) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string expect = host;
  expect = expect.substr(0, expect.find('.'));
  char name[256];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(std::string(name), expect);
  EXPECT_EQ(size, expect.size());
  DWORD small = 1;
  EXPECT_FALSE(GetComputerNameA(name, &small));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(small, expect.size() + 1);
}

TEST(System, TickCountAdvancesWithBootClock) {
  ULONGLONG a = GetTickCount64();
  Sleep(20);
  ULONGLONG b = GetTickCount64();
  EXPECT_GE(b - a, 19u);
  EXPECT_LT(b - a, 5000u);
  EXPECT_EQ(GetTickCount(), DWORD(GetTickCount64()));
}

TEST(Environment, ExpandsKnownNamesOnly) {
  setenv("QXT_A", "alpha", 1);
  unsetenv("QXT_NONE");
  EXPECT_EQ(ExpandEnvironment("x%QXT_A%y"), "xalphay");
  EXPECT_EQ(ExpandEnvironment("%QXT_NONE%%QXT_A%"), "%QXT_NONE%alpha");
  EXPECT_EQ(ExpandEnvironment("100% sure %"), "100% sure %");
  EXPECT_EQ(ExpandEnvironment("%%"), "%%");
  char out[8];
  EXPECT_EQ(ExpandEnvironmentStringsA("%QXT_A%!", out, 4), 7u);  // too small: size only
  EXPECT_EQ(ExpandEnvironmentStringsA("%QXT_A%!", out, 7), 7u);
  EXPECT_STREQ(out, "alpha!");

  char16_t w[16];
  ASSERT_TRUE(SetEnvironmentVariableW(u"QXT_W", u"\u00e9t\u00e9"));
  EXPECT_EQ(GetEnvironmentVariableW(u"QXT_W", w, 16), 3u);
  EXPECT_EQ(std::u16string(w), u"\u00e9t\u00e9");
  EXPECT_EQ(GetEnvironmentVariableW(u"QXT_W", w, 3), 4u);
  ASSERT_TRUE(SetEnvironmentVariableA("QXT_W", nullptr));
  EXPECT_EQ(GetEnvironmentVariableA("QXT_W", out, 8), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ENVVAR_NOT_FOUND));
  EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
}

TEST(Environment, AWatchSeesEveryChange) {
  setenv("QXT_WATCHED", "one", 1);
  unsetenv("QXT_ABSENT");
  EnvironmentWatch watch({"QXT_WATCHED", "QXT_ABSENT"});
  EXPECT_TRUE(watch.Changed());  // nothing recorded yet
  watch.Record();
  EXPECT_FALSE(watch.Changed());
  auto changes = [&](auto change) {
    watch.Record();
    change();
    return watch.Changed();
  };
  EXPECT_TRUE(changes([] { setenv("QXT_WATCHED", "two", 1); }));
  EXPECT_TRUE(changes([] { setenv("QXT_ABSENT", "now set", 1); }));
  EXPECT_TRUE(changes([] { unsetenv("QXT_ABSENT"); }));
  EXPECT_TRUE(changes([] { unsetenv("QXT_WATCHED"); }));
  static char entry[] = "QXT_WATCHED=three";
  EXPECT_TRUE(changes([] { putenv(entry); }));
  // A putenv string written over in place is a change of the environment.
  EXPECT_TRUE(changes([] { entry[12] = 'T'; }));
  EXPECT_TRUE(changes([] { entry[13] = '\0'; }));
  // Any change of the list counts, watched name or not.
  EXPECT_TRUE(changes([] { setenv("QXT_OTHER", "x", 1); }));
  EXPECT_FALSE(changes([] {}));
  // One variable gone and another come, then the last one removed and set again
  // to its old text (the C library hands back its old entry): as many entries
  // as before, the same last entry, and yet a watched name is set.
  setenv("QXT_Y", "y", 1);
  setenv("QXT_LAST", "last", 1);
  EXPECT_TRUE(changes([] {
    unsetenv("QXT_LAST");
    setenv("QXT_ABSENT", "sneaked in", 1);
    unsetenv("QXT_Y");
    setenv("QXT_LAST", "last", 1);
  }));
}

TEST(Environment, AWatchComparesEntriesAcrossAPageEnd) {
  // The entry list and a watched text laid across a page's end, where a block of
  // them is read at once only if it stays inside one page: every change is seen,
  // wherever it lies.
  long page = sysconf(_SC_PAGESIZE);
  auto* mem = static_cast<char*>(
      mmap(nullptr, size_t(page) * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  constexpr size_t kEntries = 40;
  std::vector<std::string> texts;
  for (size_t i = 0; i < kEntries; ++i) texts.push_back("QXT_E" + std::to_string(i) + "=v");
  char** list = reinterpret_cast<char**>(mem + page - 13 * sizeof(char*));
  for (size_t i = 0; i < kEntries; ++i) list[i] = texts[i].data();
  list[kEntries] = nullptr;
  std::string value = "QXT_E20=" + std::string(100, 'w');
  char* watched = mem + 3 * page - 60;  // its value runs into the last page
  std::memcpy(watched, value.c_str(), value.size() + 1);
  list[20] = watched;
  static char other[] = "QXT_OTHER=1";

  char** saved = environ;
  environ = list;
  EnvironmentWatch watch({"QXT_E20"});
  watch.Record();
  bool unchanged = !watch.Changed();
  std::vector<size_t> missed_entries, missed_bytes;
  for (size_t i = 0; i <= kEntries; ++i) {
    char* old = list[i];
    list[i] = other;
    if (!watch.Changed()) missed_entries.push_back(i);
    list[i] = old;
  }
  for (size_t b = 8; b <= value.size(); ++b) {
    char old = watched[b];
    watched[b] = old == 'x' ? 'y' : 'x';
    if (!watch.Changed()) missed_bytes.push_back(b);
    watched[b] = old;
  }
  bool unchanged_after = !watch.Changed();
  environ = saved;
  munmap(mem, size_t(page) * 4);

  EXPECT_TRUE(unchanged);
  EXPECT_TRUE(unchanged_after);
  EXPECT_TRUE(missed_entries.empty()) << missed_entries.size() << " changed entries missed";
  EXPECT_TRUE(missed_bytes.empty()) << missed_bytes.size() << " changed bytes missed";
}

TEST(System, TheCoarseClockNeverRunsAheadOfTheSteadyClock) {
  auto first = CoarseSteadyNow();
  for (int i = 0; i < 1000; ++i) ASSERT_LE(CoarseSteadyNow(), std::chrono::steady_clock::now());
  Sleep(50);
  EXPECT_GT(CoarseSteadyNow(), first);
  EXPECT_GT(CoarseClockLag().count(), 0);
}

TEST(Modules, WindowsNamesMapToLinuxFiles) {
  EXPECT_EQ(LibraryFileName("QXEVT.DLL"), "libqxevt.so");
  EXPECT_EQ(LibraryFileName("PROLOGUE"), "libprologue.so");
  EXPECT_EQ(LibraryFileName("base.enu"), "libbase.enu.so");
  EXPECT_EQ(LibraryFileName("qxhao.dll"), "libqxhao.so");
  EXPECT_EQ(LibraryFileName("/opt/x/libq.so"), "/opt/x/libq.so");
}

TEST(Modules, SearchesQxLibPathAndNeverUnloads) {
  // Build a one-function library in the test's folder and find it by its
  // Windows-style name through QX_LIB_PATH.
  std::string root = qx::testing::TestRoot();
  std::string src = root + "/probe.c";
  qx::testing::WriteFile(src, "int probe_value(void) { return 42; }\n");
  ASSERT_EQ(qx::testing::RunCommand("cc -shared -fPIC -o " + root + "/libqxprobe.so " + src), 0);

  setenv("QX_LIB_PATH", ("/nonexistent:" + root).c_str(), 1);
  HMODULE h = LoadLibraryA("QXPROBE.DLL");
  ASSERT_NE(h, nullptr);
  auto fn = reinterpret_cast<int (*)()>(GetProcAddress(h, "probe_value"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(GetProcAddress(h, "missing_entry"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_EQ(fn(), 42);  // still mapped
  char path[4096];
  EXPECT_EQ(std::string(path, GetModuleFileNameA(h, path, sizeof path)), root + "/libqxprobe.so");

  unsetenv("QX_LIB_PATH");
  EXPECT_EQ(LoadLibraryA("QXNOSUCHLIB.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
  // A file that is there but is no library.
  qx::testing::WriteFile(root + "/libqxjunk.so", "not an ELF file");
  setenv("QX_LIB_PATH", root.c_str(), 1);
  EXPECT_EQ(LoadLibraryA("qxjunk"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_FORMAT));
}

TEST(Modules, LoaderSearchIsAskedOnlyWhereItCanSucceed) {
  // Every name the loader's cache lists, as ldconfig reads it, is one the
  // loader's search may find; a name nowhere is not.
  std::string root = qx::testing::TestRoot();
  ASSERT_EQ(qx::testing::RunCommand("ldconfig -p > " + root + "/cache.txt"), 0);
  std::ifstream cache(root + "/cache.txt");
  std::string line;
  int names = 0;
  while (std::getline(cache, line)) {
    // An entry: "\tname (flags) => path".
    size_t start = 1;
    size_t end = line.find(" (");
    if (line.empty() || line[0] != '\t' || end == std::string::npos) continue;
    std::string name = line.substr(start, end - start);
    EXPECT_TRUE(LoaderMayFind(name)) << name;
    ++names;
  }
  EXPECT_GT(names, 10);
  EXPECT_FALSE(LoaderMayFind("libqxnosuchlibrary.so"));
  // The platform library's own folder is on its run path.
  EXPECT_TRUE(LoaderMayFind("libqxplatform.so"));
  // Through the loader's search: a development link in the loader's folders.
  HMODULE z = LoadLibraryA("Z");
  ASSERT_NE(z, nullptr) << "zlib's development link libz.so is missing";
  EXPECT_NE(GetProcAddress(z, "zlibVersion"), nullptr);

  // A library loaded by its path answers to its bare name afterwards, from
  // wherever it was loaded.
  std::string src = root + "/probe2.c";
  qx::testing::WriteFile(src, "int probe2_value(void) { return 7; }\n");
  ASSERT_EQ(qx::testing::RunCommand("cc -shared -fPIC -Wl,-soname,libqxprobe2.so -o " + root +
                                    "/libqxprobe2.so " + src),
            0);
  unsetenv("QX_LIB_PATH");
  EXPECT_EQ(LoadLibraryA("QXPROBE2"), nullptr);
  HMODULE first = LoadLibraryA((root + "/libqxprobe2.so").c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(LoadLibraryA("QXPROBE2"), first);
}

TEST(Events, AutoResetReleasesOneWaiterManualResetAll) {
  HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(autoev, nullptr);
  ASSERT_NE(manual, nullptr);

  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      if (WaitForSingleObject(autoev, 2000) == WAIT_OBJECT_0) ++woken;
    });
  Sleep(50);
  ASSERT_TRUE(SetEvent(autoev));
  Sleep(100);
  EXPECT_EQ(woken.load(), 1);
  for (int i = 0; i < 3; ++i) SetEvent(autoev), Sleep(20);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);

  ASSERT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays set
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  // Any: the lowest signalled index wins. All: only when every one is set.
  HANDLE both[2] = {autoev, manual};
  SetEvent(manual);
  SetEvent(autoev);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);  // autoev was taken
  SetEvent(autoev);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(autoev, 60), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));

  EXPECT_TRUE(CloseHandle(autoev));
  EXPECT_TRUE(CloseHandle(manual));
}

TEST(Handles, StaleAndBogusHandlesAreRefused) {
  HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE dup = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &dup, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_NE(dup, e);
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_OBJECT_0);  // the object lives on
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  HANDLE reused = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // may take e's slot
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x12345678), 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  HANDLE twice[2] = {dup, dup};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  CloseHandle(dup);
  CloseHandle(reused);
}
