// Fault-safe reads: the same text wherever it lies (this thread's stack, the
// program's data, the heap, another thread's stack), never past a NUL, a limit
// or an unreadable byte, and the process's own memory after a fork.
#include <gtest/gtest.h>
#include <qxplatform/format.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

using qx::platform::SafeCopyString;
using qx::platform::SafeReadString;
using qx::platform::SafeReadWString;

namespace {

const char kInProgram[] = "a text in the program's own data";

}  // namespace

TEST(SafeRead, TheSameTextWhereverItLies) {
  char on_stack[] = "a text on the stack";
  std::string on_heap(300, 'h');  // longer than the first read through the kernel
  std::string in_other_stack;
  std::thread other([&] {
    char text[] = "a text on another thread's stack";
    std::thread reader([&] { in_other_stack = SafeReadString(text, 100); });
    reader.join();
  });
  other.join();
  EXPECT_EQ(SafeReadString(on_stack, 100), on_stack);
  EXPECT_EQ(SafeReadString(kInProgram, 100), kInProgram);
  EXPECT_EQ(SafeReadString(on_heap.c_str(), 1000), on_heap);
  EXPECT_EQ(in_other_stack, "a text on another thread's stack");
  // The limit holds in each kind of memory.
  EXPECT_EQ(SafeReadString(on_stack, 6), "a text");
  EXPECT_EQ(SafeReadString(kInProgram, 6), "a text");
  EXPECT_EQ(SafeReadString(on_heap.c_str(), 299), on_heap.substr(0, 299));
  EXPECT_EQ(SafeReadWString(u"wide on the program", 4), u"wide");
  char16_t wide_on_stack[] = u"wide on the stack";
  EXPECT_EQ(SafeReadWString(wide_on_stack, 100), wide_on_stack);
}

TEST(SafeRead, TheMainThreadReadsItsStackUpToTheTop) {
  // The program's file name and its first environment lie at the very top of the
  // main thread's stack, above every frame: they read whole.
  const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(SafeReadString(name, 100000), name);
  for (char** e = environ; *e != nullptr; ++e) EXPECT_EQ(SafeReadString(*e, 100000), *e);
}

TEST(SafeRead, CopyIntoABufferWritesNoMoreThanAskedAndNoNul) {
  std::string on_heap = "heap text";
  for (const char* text : {kInProgram, on_heap.c_str()}) {
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(SafeCopyString(text, out, 4), 4u);
    EXPECT_EQ(std::string(out, 5), std::string(text, 4) + "#");
    size_t n = std::strlen(text);
    EXPECT_EQ(SafeCopyString(text, out, sizeof out), n);
    EXPECT_EQ(out[n], '#');  // the NUL is not copied
  }
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(SafeCopyString(nullptr, out, 4), 0u);
  EXPECT_EQ(SafeCopyString(kInProgram, out, 0), 0u);
  EXPECT_EQ(out[0], '#');
}

TEST(SafeRead, AnUnterminatedTextOnTheStackRunsOnWithoutFault) {
  // Read directly, past the buffer into the frame beyond: whatever follows, the
  // read ends without a fault (and, in the sanitized build, without a report).
  char unterminated[8];
  std::memset(unterminated, 'u', sizeof unterminated);
  std::string got = SafeReadString(unterminated, 64);
  ASSERT_GE(got.size(), sizeof unterminated);
  EXPECT_EQ(got.substr(0, 8), "uuuuuuuu");
}

TEST(SafeRead, ATextRunningIntoAnUnreadablePageStopsThere) {
  long page = sysconf(_SC_PAGESIZE);
  auto* mem = static_cast<char*>(
      mmap(nullptr, size_t(page) * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, size_t(page), PROT_NONE), 0);
  std::memset(mem, 'x', size_t(page));
  std::memset(mem + 2 * page, 'y', size_t(page));
  // Shorter and longer than one read through the kernel.
  EXPECT_EQ(SafeReadString(mem + page - 10, 100), std::string(10, 'x'));
  EXPECT_EQ(SafeReadString(mem + page - 1000, 5000), std::string(1000, 'x'));
  EXPECT_EQ(SafeReadString(mem + page, 5), "");
  char16_t* wide = reinterpret_cast<char16_t*>(mem + page) - 3;
  EXPECT_EQ(SafeReadWString(wide, 100).size(), 3u);
  munmap(mem, size_t(page) * 3);
}

TEST(SafeRead, AForkedChildReadsItsOwnMemory) {
  // The process id kept for the kernel reads must be the child's own: with the
  // parent's, the child would read the parent's copy of the text.
  std::string text(64, 'p');
  ASSERT_EQ(SafeReadString(text.c_str(), 100), text);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    text.assign(64, 'c');  // the same buffer, other contents than the parent's
    _exit(SafeReadString(text.c_str(), 100) == std::string(64, 'c') ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
