// qxreg end to end: the commands, the export round trip, prompts and failures.
#include <gtest/gtest.h>
#include <qxplatform/registry.h>

#include <string>

#include "test_env.h"

using qx::testing::ReadFile;
using qx::testing::RunCommand;
using qx::testing::TestRoot;
using qx::testing::WriteFile;

namespace {

// Runs qxreg with a shell command line tail; stdout (and stderr when asked)
// lands in *out.
int Qxreg(const std::string& args, std::string* out = nullptr, bool with_stderr = false) {
  std::string cmd = qx::testing::BuildBinDir() + "/qxreg " + args;
  if (with_stderr) cmd += " 2>&1";
  std::string ignored;
  return RunCommand(cmd, out ? out : &ignored);
}

}  // namespace

TEST(Qxreg, AddQueryDeleteAndTypes) {
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Greeting /d 'hello there' /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKEY_LOCAL_MACHINE\\Software\\Demo' /v Count /t REG_DWORD /d 0x2a /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Big /t reg_qword /d 18446744073709551615 /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v List /t REG_MULTI_SZ /d 'a\\0b c' /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Sep /t REG_MULTI_SZ /s '#' /d 'x#y' /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Blob /t REG_BINARY /d 00ff7f /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /ve /t REG_EXPAND_SZ /d '%HOME%/x' /f"), 0);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo\\a/b'"), 0);
  std::string out;
  ASSERT_EQ(Qxreg("query 'hklm\\software\\DEMO'", &out), 0);
  EXPECT_EQ(out,
            "\nHKEY_LOCAL_MACHINE\\software\\DEMO\n"
            "    Greeting    REG_SZ    hello there\n"
            "    Count    REG_DWORD    0x2a\n"
            "    Big    REG_QWORD    0xffffffffffffffff\n"
            "    List    REG_MULTI_SZ    a\\0b c\n"
            "    Sep    REG_MULTI_SZ    x\\0y\n"
            "    Blob    REG_BINARY    00FF7F\n"
            "    (Default)    REG_EXPAND_SZ    %HOME%/x\n"
            "\nHKEY_LOCAL_MACHINE\\software\\DEMO\\a/b\n");
  ASSERT_EQ(Qxreg("query 'HKLM\\Software\\Demo' /v count", &out), 0);
  EXPECT_EQ(out, "\nHKEY_LOCAL_MACHINE\\Software\\Demo\n    Count    REG_DWORD    0x2a\n");

  // Bad data and command lines fail with a message and change nothing.
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Count /t REG_DWORD /d 4294967296 /f", &out, true),
            2);
  EXPECT_NE(out.find("is not a 32-bit number"), std::string::npos) << out;
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v B /t REG_BINARY /d 0g /f", &out, true), 2);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v B /t REG_WHAT /f", &out, true), 2);
  EXPECT_EQ(Qxreg("add 'HKU\\Software' /f", &out, true), 2);
  EXPECT_NE(out.find("not a root key this store offers"), std::string::npos) << out;
  EXPECT_EQ(Qxreg("frobnicate", &out, true), 2);
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\Nothing'", &out, true), 1);
  EXPECT_NE(out.find("unable to find the specified registry key"), std::string::npos) << out;
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\Demo' /v Missing", &out, true), 1);
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\" + std::string(256, 'k') + "' /f", &out, true), 1);
  EXPECT_NE(out.find("(error 87)"), std::string::npos) << out;

  // Without /f the tool asks; anything but yes keeps the data.
  EXPECT_EQ(Qxreg("add 'HKLM\\Software\\Demo' /v Count /t REG_DWORD /d 1 < /dev/null", &out), 1);
  EXPECT_EQ(Qxreg("delete 'HKLM\\Software\\Demo' /v Count <<EOF\nno\nEOF", &out, true), 1);
  ASSERT_EQ(Qxreg("query 'HKLM\\Software\\Demo' /v Count", &out), 0);
  EXPECT_NE(out.find("0x2a"), std::string::npos);
  EXPECT_EQ(Qxreg("delete 'HKLM\\Software\\Demo' /v Count <<EOF\nyes\nEOF", &out), 0);
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\Demo' /v Count"), 1);
  EXPECT_EQ(Qxreg("delete 'HKLM\\Software\\Demo' /va /f"), 0);
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\Demo' /ve"), 1);
  EXPECT_EQ(Qxreg("delete 'HKLM' /f", &out, true), 1);
  EXPECT_EQ(Qxreg("delete 'HKLM\\Software\\Demo' /f"), 0);
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\Demo\\a/b'"), 1);
}

TEST(Qxreg, ExportImportRoundTripIsExact) {
  // Awkward names and data, written by hand in the export format.
  const std::string file = TestRoot() + "/tmp/in.txt";
  const std::string text =
      "QXREG1\n"
      "\n[HKEY_LOCAL_MACHINE\\Software\\\"odd \\\"key\\\"\"\\sub/key=1\\\"new\\nline\"]\n"
      "@=\"default\"\n"
      "\"back\\\\slash/=\\\"q\\\"\\n\\t\"=\"multi\\nline \\\"text\\\" \\\\ \xc3\xa9\"\n"
      "\"exp\"=expand:\"%PATH%;%HOME%\"\n"
      "\"multi\"=multi:\"one\",\"two \xe2\x82\xac\"\n"
      "\"dw\"=dword:8000002a\n"
      "\"qw\"=qword:0102030405060708\n"
      "\"bin\"=hex:00,ff,0a\n"
      "\"raw sz\"=hex(1):61,00,62,00\n"
      "\"type\"=hex(7fffffff):01\n"
      "\n[HKEY_CURRENT_USER\\Environment]\n"
      "\"Path\"=expand:\"%HOME%/bin\"\n";
  WriteFile(file, text);
  std::string out;
  ASSERT_EQ(Qxreg("import '" + file + "'", &out, true), 0) << out;
  const std::string first = TestRoot() + "/tmp/first.txt";
  const std::string second = TestRoot() + "/tmp/second.txt";
  ASSERT_EQ(Qxreg("export 'HKLM\\Software\\\"odd \"key\"\"' '" + first + "'", &out, true), 1);
  ASSERT_EQ(Qxreg("export 'HKLM\\Software' '" + first + "'", &out, true), 0) << out;
  // The export holds the keys and values exactly as imported.
  std::string exported = ReadFile(first);
  EXPECT_NE(exported.find(text.substr(text.find("\"back"),
                                      text.find("\n[HKEY_CURRENT") - text.find("\"back"))),
            std::string::npos)
      << exported;
  // Delete, import the export, export again: byte for byte the same.
  ASSERT_EQ(Qxreg("delete 'HKLM\\Software' /f"), 0);
  ASSERT_EQ(Qxreg("import '" + first + "'", &out, true), 0) << out;
  ASSERT_EQ(Qxreg("export 'HKLM\\Software' '" + second + "' /y"), 0);
  EXPECT_EQ(ReadFile(first), ReadFile(second));
  // The export of a missing key fails and writes nothing.
  EXPECT_EQ(Qxreg("export 'HKLM\\Software\\Missing' '" + TestRoot() + "/tmp/none.txt'", &out, true),
            1);
  EXPECT_EQ(ReadFile(TestRoot() + "/tmp/none.txt"), "");

  // A damaged import file names its fault and writes nothing at all.
  WriteFile(file, "QXREG1\n[HKLM\\Software\\New]\n\"a\"=dword:00000001\n\"b\"=dword:1\n");
  EXPECT_EQ(Qxreg("import '" + file + "'", &out, true), 1);
  EXPECT_NE(out.find("line 4: expected 8 hex digits"), std::string::npos) << out;
  EXPECT_EQ(Qxreg("query 'HKLM\\Software\\New'"), 1);
}

TEST(Qxreg, SaveRestoreCheckAndDamagedFiles) {
  ASSERT_EQ(Qxreg("add 'HKCU\\Software\\S' /v v /d kept /f"), 0);
  const std::string hive = TestRoot() + "/tmp/s.hiv";
  ASSERT_EQ(Qxreg("save 'HKCU\\Software' '" + hive + "'"), 0);
  ASSERT_EQ(Qxreg("add 'HKLM\\Copy' /f"), 0);
  ASSERT_EQ(Qxreg("restore 'HKLM\\Copy' '" + hive + "'"), 0);
  std::string out;
  ASSERT_EQ(Qxreg("query 'HKLM\\Copy\\S' /v v", &out), 0);
  EXPECT_NE(out.find("kept"), std::string::npos);
  ASSERT_EQ(Qxreg("check", &out), 0);
  EXPECT_NE(out.find("HKEY_LOCAL_MACHINE ("), std::string::npos);

  WriteFile(hive, "QXHIVE\r\n broken");
  EXPECT_EQ(Qxreg("restore 'HKLM\\Copy' '" + hive + "'", &out, true), 1);
  EXPECT_NE(out.find("is not a valid hive file; HKEY_LOCAL_MACHINE\\Copy is unchanged"),
            std::string::npos)
      << out;
  ASSERT_EQ(Qxreg("query 'HKLM\\Copy\\S' /v v"), 0);

  // Damaged store files: a clear message and a failure, never a crash.
  const std::string store = qx::platform::RegistryStorePath(HKEY_LOCAL_MACHINE);
  const std::string good = ReadFile(store);
  for (const std::string& bad :
       {std::string(8192, '\0'), std::string("SQLite format 3\0garbage", 24),
        good.substr(0, good.size() / 2), std::string(4096, '\x5a')}) {
    WriteFile(store, bad);
    ::unlink((store + "-wal").c_str());
    ::unlink((store + "-shm").c_str());
    int status = Qxreg("query 'HKLM\\Copy' /s", &out, true);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("is damaged or cannot be opened"), std::string::npos) << out;
    EXPECT_EQ(Qxreg("check 'HKLM'", &out, true), 1) << out;
  }
  // The user's store is untouched by the machine store's damage.
  EXPECT_EQ(Qxreg("query 'HKCU\\Software\\S' /v v"), 0);
}
