#include "message_area.h"

#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <zelapi01.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace {

// The library folders of the build: the message texts in lib/, the trace library
// in testlib/. The test program itself lives in bin/, where the library's own
// search (beside the asking module) finds nothing.
class LibraryFolders : public ::testing::Environment {
  void SetUp() override {
    std::string lib = qx::testing::BuildLibDir();
    setenv("QX_LIB_PATH", (lib + ":" + lib + "/../testlib").c_str(), 1);
  }
};
const auto* const kLibraryFolders = ::testing::AddGlobalTestEnvironment(new LibraryFolders);

// Runs body on a thread of its own, with a fresh message chain.
template <typename F>
void OnFreshThread(F body) {
  std::thread(body).join();
}

uint32_t U32At(const std::string& data, size_t offset) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= uint32_t(static_cast<unsigned char>(data[offset + i])) << (8 * i);
  return v;
}

}  // namespace

TEST(MessageArea, SetClearAndMissingTemplates) {
  OnFreshThread([] {
    EXPECT_EQ(GetMsgID(), 0u);
    EXPECT_STREQ(GetMsgString(), "");
    EXPECT_TRUE(SetMsgString(nullptr, 6, "SomeOperation"));
    EXPECT_STREQ(GetMsgString(), "A required argument of SomeOperation is missing or too long.");
    EXPECT_EQ(GetMsgID(), 6u);
    HMODULE module = GetMsgHandle();
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(SetMsgString(nullptr, 374, 42));
    EXPECT_STREQ(SetAndGetMsgString(nullptr, 2, "Entry", "LIB.DLL"),
                 "The entry point Entry could not be found in the library LIB.DLL.");

    // Setting a message keeps the caller's last error.
    SetLastError(1234);
    EXPECT_TRUE(SetMsgString(nullptr, 1, ""));
    EXPECT_EQ(GetLastError(), 1234u);

    // Id 0 clears the area.
    EXPECT_TRUE(SetMsgString(nullptr, 0));
    EXPECT_EQ(GetMsgID(), 0u);
    EXPECT_STREQ(GetMsgString(), "");

    // A number the library lacks: the text says so and the result is 0.
    EXPECT_FALSE(SetMsgString(nullptr, 9999));
    EXPECT_EQ(GetMsgID(), 9999u);
    std::regex missing(
        "String ID <9999> not found in /.*/libqxcmn_rc\\.enu\\.so; resource file may not be "
        "the most current; handle=0x[0-9a-f]+\\.\n");
    EXPECT_TRUE(std::regex_match(std::string(GetMsgString()), missing)) << GetMsgString();
    EXPECT_EQ(GetMsgHandle(), module);
  });
}

TEST(MessageArea, WithoutTheMessageLibrary) {
  qx::zel::SetDefaultMessageModule(nullptr, true);  // as if qxcmn_rc could not be loaded
  OnFreshThread([] {
    EXPECT_FALSE(SetMsgString(nullptr, 6, "x"));
    EXPECT_STREQ(GetMsgString(),
                 "String ID <6> not found; could not load resource file QXCMN_RC.\n");
  });
  qx::zel::SetDefaultMessageModule(nullptr, false);
  OnFreshThread([] { EXPECT_TRUE(SetMsgString(nullptr, 6, "x")); });
}

TEST(MessageArea, StackPushPopClear) {
  OnFreshThread([] {
    SetMsgString(nullptr, 13, "/first");
    EXPECT_FALSE(PopMsgStack());  // the first area is never popped
    EXPECT_EQ(GetMsgID(), 13u);
    ASSERT_TRUE(PushMsgStack());
    EXPECT_EQ(GetMsgID(), 0u);
    SetMsgString(nullptr, 48, "/second");
    EXPECT_STREQ(GetMsgString(), "The file /second could not be opened or read.");
    EXPECT_TRUE(PopMsgStack());
    EXPECT_STREQ(GetMsgString(), "The file /first could not be created or written.");
    for (int i = 0; i < 5; ++i) PushMsgStack();
    EXPECT_EQ(qx::zel::ChainDepth(), 6u);
    EXPECT_TRUE(ClearMsgStack());
    EXPECT_EQ(qx::zel::ChainDepth(), 1u);
    EXPECT_EQ(GetMsgID(), 13u);
    EXPECT_FALSE(PopMsgStack());
  });
}

TEST(MessageArea, SystemErrorTexts) {
  OnFreshThread([] {
    EXPECT_TRUE(SetLastErrorMsgEx(2));
    EXPECT_EQ(GetErrorMsgID(), 2u);
    EXPECT_EQ(GetMsgID(), 285u);
    EXPECT_EQ(std::string(GetMsgString()), std::string(qx::platform::ErrorText(2)) + "\r\n");

    SetLastError(5);
    EXPECT_EQ(std::string(SetAndGetLastErrorMsg()),
              std::string(qx::platform::ErrorText(5)) + "\r\n");

    // A number without a text: message 374, result 0, the code kept.
    EXPECT_FALSE(SetLastErrorMsgEx(0x1234567));
    EXPECT_EQ(GetMsgID(), 374u);
    EXPECT_EQ(GetErrorMsgID(), 0x1234567u);
    EXPECT_STREQ(GetMsgString(), "The system has no text for error 19088743.");

    // 0xFFFFFFFF only records the code.
    SetMsgString(nullptr, 13, "/x");
    EXPECT_TRUE(SetLastErrorMsgEx(0xFFFFFFFFu));
    EXPECT_EQ(GetErrorMsgID(), 0xFFFFFFFFu);
    EXPECT_EQ(GetMsgID(), 13u);
  });
}

TEST(MessageArea, FormatIntoCallerBuffer) {
  OnFreshThread([] {
    SetMsgString(nullptr, 13, "/kept");
    const std::string full = "The file /some/path could not be created or written.";
    char buf[64];
    std::memset(buf, 'Z', sizeof buf);
    DWORD size = 10;
    EXPECT_TRUE(FormatMsgString(nullptr, buf, &size, 13, "/some/path"));
    EXPECT_EQ(size, full.size() + 1);
    EXPECT_EQ(std::string(buf), full.substr(0, 9));
    EXPECT_EQ(buf[10], 'Z');

    // Size 0 writes nothing at all.
    std::memset(buf, 'Z', sizeof buf);
    size = 0;
    EXPECT_TRUE(FormatMsgString(nullptr, buf, &size, 13, "/some/path"));
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(size, full.size() + 1);

    // Cut on a character boundary: "ü" takes two bytes.
    size = 11;
    FormatMsgString(nullptr, buf, &size, 13, "/\xC3\xBC");
    EXPECT_STREQ(buf, "The file /");
    size = 13;
    FormatMsgString(nullptr, buf, &size, 13, "/\xC3\xBC");
    EXPECT_STREQ(buf, "The file /\xC3\xBC");

    size = sizeof buf;
    EXPECT_EQ(FormatAndGetMsgString(nullptr, buf, &size, 9999), nullptr);
    EXPECT_EQ(GetMsgID(), 13u);  // the area is untouched
    EXPECT_STREQ(GetMsgString(), "The file /kept could not be created or written.");

    EXPECT_FALSE(FormatMsgString(nullptr, buf, nullptr, 13, "/x"));
    EXPECT_EQ(GetMsgID(), 6u);
    EXPECT_STREQ(GetMsgString(), "A required argument of FormatMsgString is missing or too long.");
  });
}

TEST(MessageArea, ThreadsNeverSeeEachOthersTexts) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 300; ++i) {
        std::string mine = "/t" + std::to_string(t) + "/" + std::to_string(i);
        SetMsgString(nullptr, 13, mine.c_str());
        PushMsgStack();
        SetMsgString(nullptr, 48, mine.c_str());
        if (std::string(GetMsgString()) != "The file " + mine + " could not be opened or read.")
          ++failures;
        PopMsgStack();
        if (std::string(GetMsgString()) !=
                "The file " + mine + " could not be created or written." ||
            GetMsgID() != 13)
          ++failures;
      }
      // Left on the stack on purpose: the thread's end frees the chain.
      PushMsgStack();
      PushMsgStack();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(MessageArea, Snapshots) {
  OnFreshThread([] {
    SetMsgString(nullptr, 13, "/snap");
    SetLastError(0);
    HZELMSG snap = nullptr;
    ASSERT_TRUE(OpenMsgHandle(&snap));
    SetMsgString(nullptr, 48, "/other");
    EXPECT_TRUE(CopyMsg(snap));
    EXPECT_EQ(GetMsgID(), 13u);
    EXPECT_STREQ(GetMsgString(), "The file /snap could not be created or written.");
    EXPECT_TRUE(CloseMsgHandle(snap));

    EXPECT_FALSE(CloseMsgHandle(nullptr));
    EXPECT_STREQ(GetMsgString(), "A required argument of CloseMsgHandle is missing or too long.");
    EXPECT_FALSE(OpenMsgHandle(nullptr));
    EXPECT_STREQ(GetMsgString(), "A required argument of OpenMsgHandle is missing or too long.");
  });
}

TEST(MessageFile, ExportWritesTheFixedLayout) {
  OnFreshThread([] {
    std::string path = qx::testing::TestRoot() + "/saved.msg";
    SetLastErrorMsgEx(5);
    SetMsgString(nullptr, 13, "/exported");
    GetMsgString();  // fills the copy field
    ASSERT_TRUE(ExportMsg(nullptr, path.c_str()));
    std::string data = qx::testing::ReadFile(path);
    ASSERT_EQ(data.size(), 8736u);
    EXPECT_EQ(U32At(data, 0), 0u);
    EXPECT_EQ(U32At(data, 4), 0u);
    EXPECT_EQ(std::string(data.c_str() + 8), "The file /exported could not be created or written.");
    EXPECT_EQ(std::string(data.c_str() + 4104), std::string(data.c_str() + 8));
    EXPECT_EQ(U32At(data, 8200), 13u);
    EXPECT_EQ(U32At(data, 8204), 5u);
    EXPECT_EQ(U32At(data, 8208), 0u);
    EXPECT_EQ(U32At(data, 8212), 0u);
    std::string module_path = data.c_str() + 8216;
    EXPECT_NE(module_path.find("/libqxcmn_rc.enu.so"), std::string::npos);
    EXPECT_EQ(std::string(data.c_str() + 8476), module_path);
    EXPECT_EQ(data[8735], '\0');

    EXPECT_FALSE(ExportMsg(nullptr, (qx::testing::TestRoot() + "/no/such/dir/f").c_str()));
    EXPECT_EQ(GetMsgID(), 13u);
    EXPECT_NE(std::string(GetMsgString()).find("/no/such/dir/f"), std::string::npos);
  });
}

TEST(MessageFile, ImportCopiesContentNeverLinks) {
  OnFreshThread([] {
    std::string path = qx::testing::TestRoot() + "/saved.msg";
    SetMsgString(nullptr, 48, "/saved");
    HMODULE module = GetMsgHandle();
    ASSERT_TRUE(ExportMsg(nullptr, path.c_str()));

    // Garbage in the link and handle fields, and no terminator in the text.
    std::string data = qx::testing::ReadFile(path);
    for (size_t i = 8200 - 16; i < 8200; ++i) data[i] = 'A';
    std::memset(data.data() + 8 + 40, 'B', 4096 - 40);
    for (size_t i : {0, 1, 2, 3, 8208, 8209, 8210, 8211, 8212, 8213, 8214, 8215})
      data[i] = char(0xEE);
    qx::testing::WriteFile(path, data);

    SetMsgString(nullptr, 13, "/below");
    ASSERT_TRUE(PushMsgStack());
    SetMsgString(nullptr, 6, "Above");
    ASSERT_TRUE(ImportMsg(nullptr, path.c_str()));
    EXPECT_EQ(GetMsgID(), 48u);
    EXPECT_EQ(GetMsgHandle(), module);  // reloaded by its path
    EXPECT_EQ(std::strlen(GetMsgString()), 4095u);
    // The chain is intact: popping returns to the area below.
    EXPECT_TRUE(PopMsgStack());
    EXPECT_STREQ(GetMsgString(), "The file /below could not be created or written.");
    EXPECT_FALSE(PopMsgStack());

    // Into a snapshot as well.
    HZELMSG snap = nullptr;
    ASSERT_TRUE(OpenMsgHandle(&snap));
    ASSERT_TRUE(ImportMsg(snap, path.c_str()));
    EXPECT_TRUE(CopyMsg(snap));
    EXPECT_EQ(GetMsgID(), 48u);
    CloseMsgHandle(snap);
  });
}

TEST(MessageFile, ImportRefusesBadFilesAndUntrustedModules) {
  OnFreshThread([] {
    std::string root = qx::testing::TestRoot();
    EXPECT_FALSE(ImportMsg(nullptr, (root + "/missing.msg").c_str()));
    EXPECT_EQ(GetMsgID(), 48u);
    for (size_t size : {0, 100, 8735, 8737}) {
      qx::testing::WriteFile(root + "/bad.msg", std::string(size, '\0'));
      SetMsgString(nullptr, 0);
      EXPECT_FALSE(ImportMsg(nullptr, (root + "/bad.msg").c_str())) << size;
      EXPECT_EQ(GetMsgID(), 48u);
    }

    // A module path outside the library folders is not loaded.
    std::string lib = root + "/libplanted.so";
    std::string src =
        qx::testing::ReadFile(qx::testing::BuildLibDir() + "/../testlib/libqxtestrc.so");
    ASSERT_FALSE(src.empty());
    qx::testing::WriteFile(lib, src);
    std::string image(8736, '\0');
    std::memcpy(image.data() + 8, "planted", 7);
    std::memcpy(image.data() + 8216, lib.c_str(), lib.size());
    qx::testing::WriteFile(root + "/planted.msg", image);
    ASSERT_TRUE(ImportMsg(nullptr, (root + "/planted.msg").c_str()));
    EXPECT_STREQ(GetMsgString(), "planted");
    EXPECT_EQ(GetModuleHandleA(lib.c_str()), nullptr);
    EXPECT_EQ(GetMsgHandle(), nullptr);
  });
}
