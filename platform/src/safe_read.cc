// Fault-safe reads of memory at addresses of unknown provenance.
//
// The sure way to read such memory is to let the kernel do it: process_vm_readv
// on our own process reports an unreadable address as EFAULT (or a short count)
// instead of faulting. That costs a system call per read, far more than the
// formatting around it, so memory that is known to stay readable is read
// directly instead:
//   - the calling thread's own stack, from the reading function's frame up to the
//     stack's top: the frames of every caller (and, on the main thread, the
//     program's arguments and initial environment above them);
//   - the loaded segments of the main program (its string literals and static
//     data), which stay mapped for the life of the process.
// Everything else, heap memory above all, may be unmapped by another thread at
// any moment and is read through the kernel.
#include "safe_read.h"

#include <link.h>
#include <pthread.h>
#include <qxplatform/format.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "address_sanitizer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qx::platform {
namespace {

// Reads through the kernel never cross this boundary in one call: the next page
// may be unmapped while the text ends before it. (A smaller step than the real
// page size is still correct.)
constexpr uintptr_t kPage = 4096;
// The first kernel read of a text takes this much; most texts end within it.
constexpr size_t kFirstKernelRead = 256;

// Our process id for process_vm_readv. getpid is a system call of its own, so
// the id is kept, and forgotten in the child of every fork (pthread_atfork). A
// child made by a raw clone() system call, which runs no fork handlers, would
// read its parent's memory: the C library's fork, vfork and posix_spawn are all
// safe.
std::atomic<pid_t> g_self{0};

void ForgetSelf() {
  g_self.store(0, std::memory_order_relaxed);
}

pid_t Self() {
  pid_t pid = g_self.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const int registered = ::pthread_atfork(nullptr, nullptr, &ForgetSelf);
  (void)registered;
  pid = ::getpid();
  g_self.store(pid, std::memory_order_relaxed);
  return pid;
}

// Copies up to size bytes at addr through the kernel; returns the bytes copied
// (fewer at the first unreadable byte).
size_t KernelRead(uintptr_t addr, void* out, size_t size) {
  struct iovec local = {out, size};
  struct iovec remote = {reinterpret_cast<void*>(addr), size};
  ssize_t n = ::process_vm_readv(Self(), &local, 1, &remote, 1, 0);
  return n > 0 ? size_t(n) : 0;
}

struct Range {
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

// Programs have a handful of loadable segments; more are not needed for speed.
constexpr size_t kMaxProgramSegments = 8;

struct ProgramSegments {
  std::array<Range, kMaxProgramSegments> ranges;
  size_t count = 0;
};

int CollectMainProgram(struct dl_phdr_info* info, size_t, void* data) {
  // The main program is the object whose program headers the kernel handed over.
  if (info->dlpi_phdr != reinterpret_cast<const ElfW(Phdr)*>(::getauxval(AT_PHDR))) return 0;
  auto* out = static_cast<ProgramSegments*>(data);
  for (size_t i = 0; i < info->dlpi_phnum && out->count < kMaxProgramSegments; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_R) || ph.p_memsz == 0) continue;
    uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
    out->ranges[out->count++] = {begin, begin + ph.p_memsz};
  }
  return 1;
}

ProgramSegments CollectProgramSegments() {
  ProgramSegments s;
  ::dl_iterate_phdr(&CollectMainProgram, &s);
  return s;
}

// Learnt when the library is loaded (the main program is mapped by then), so
// that no read pays for a first-use check.
const ProgramSegments g_program = CollectProgramSegments();

// The calling thread's stack, learnt at its first read. In the initial TLS block
// (one instruction to reach instead of a call into the dynamic loader): its 24
// bytes fit the reserve the loader keeps for libraries opened later.
struct ThreadStack {
  bool known = false;
  uintptr_t low = 0;
  uintptr_t high = 0;
};
[[gnu::tls_model("initial-exec")]] thread_local ThreadStack t_stack;

// The main thread's stack, without pthread_getattr_np: for the main thread the C
// library learns the stack by reading and parsing /proc/self/maps, which costs
// as much as the rest of a small program's run. The kernel stores the program's
// file name last on the stack (only a null pointer lies above it), so the page
// end above that name is the top; below it the stack may grow by its size limit,
// and the kernel keeps that much free of other mappings. False when the limit is
// unlimited, the name is missing or the caller runs elsewhere: then the C
// library's answer is used.
bool MainThreadStack(ThreadStack* stack) {
  const uintptr_t name = ::getauxval(AT_EXECFN);
  struct rlimit limit;
  if (name == 0 || ::getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return false;
  const uintptr_t top =
      (name + std::strlen(reinterpret_cast<const char*>(name)) + kPage) & ~(kPage - 1);
  const uintptr_t size = uintptr_t(limit.rlim_cur);
  // A thread that forked is its child's only thread, on a stack of its own.
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (size >= top || frame < top - size || frame >= top) return false;
  stack->low = top - size;
  stack->high = top;
  return true;
}

const ThreadStack& CurrentStack() {
  if (!t_stack.known) {
    t_stack.known = true;
    if (::gettid() == Self() && MainThreadStack(&t_stack)) return t_stack;
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (::pthread_attr_getstack(&attr, &addr, &size) == 0) {
        t_stack.low = reinterpret_cast<uintptr_t>(addr);
        t_stack.high = t_stack.low + size;
      }
      ::pthread_attr_destroy(&attr);
    }
  }
  return t_stack;
}

// The end of the memory known to stay readable that holds addr, or 0 when addr is
// not known to be readable. `frame` is the frame address of a function that is
// running (and so lies below every caller's frame).
inline uintptr_t KnownReadableEnd(uintptr_t addr, uintptr_t frame) {
  for (size_t i = 0; i < g_program.count; ++i)
    if (addr >= g_program.ranges[i].begin && addr < g_program.ranges[i].end)
      return g_program.ranges[i].end;
  const ThreadStack& stack = CurrentStack();
  // Only while running on that stack (not on a signal stack or a coroutine's):
  // then everything from this frame up to the top is mapped.
  if (frame >= stack.low && frame < stack.high && addr >= frame && addr < stack.high)
    return stack.high;
  return 0;
}

// Copies characters of mapped memory up to the first NUL (not copied) or n
// characters; returns the number copied. The bytes may lie beyond the object the
// caller meant (an unterminated text runs on), and a block read at once may run
// past the NUL, though never past the n characters: under the address sanitizer
// the copy is therefore a plain loop that the sanitizer does not watch.
template <typename Ch>
QXP_NOT_WATCHED size_t CopyUntilNul(const Ch* from, size_t n, Ch* out) {
#if !defined(QXP_ADDRESS_SANITIZER) && defined(__SSE2__)
  if constexpr (sizeof(Ch) == 1) {
    // Sixteen bytes at a time while that many are known readable and fit.
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
      unsigned nul = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
      if (nul != 0) {
        size_t len = size_t(__builtin_ctz(nul));
        for (size_t k = 0; k < len; ++k) out[i + k] = from[i + k];
        return i + len;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), block);
    }
    for (; i < n && from[i] != 0; ++i) out[i] = from[i];
    return i;
  }
#endif
  size_t i = 0;
  for (; i < n && from[i] != Ch(0); ++i) out[i] = from[i];
  return i;
}

// SafeCopy from the done-th character on, for texts that run out of the memory
// known to be readable: the part that may need the kernel.
template <typename Ch>
[[gnu::noinline]] size_t SafeCopyRest(const Ch* s, Ch* out, size_t max, size_t done,
                                      uintptr_t frame) {
  bool first_kernel_read = true;
  while (done < max) {
    uintptr_t addr = reinterpret_cast<uintptr_t>(s) + done * sizeof(Ch);
    uintptr_t end = KnownReadableEnd(addr, frame);
    size_t known = end > addr ? std::min<size_t>((end - addr) / sizeof(Ch), max - done) : 0;
    if (known > 0) {
      size_t len = CopyUntilNul(reinterpret_cast<const Ch*>(addr), known, out + done);
      done += len;
      if (len < known) break;
      continue;
    }
    size_t want = std::min<size_t>((kPage - (addr & (kPage - 1))) / sizeof(Ch), max - done);
    if (first_kernel_read) want = std::min(want, kFirstKernelRead / sizeof(Ch));
    first_kernel_read = false;
    if (want == 0) break;
    // Through a buffer of our own: the kernel copies past the NUL, and nothing of
    // the caller's past the characters copied is written.
    Ch read[kPage / sizeof(Ch)];
    size_t units = KernelRead(addr, read, want * sizeof(Ch)) / sizeof(Ch);
    size_t len = 0;
    while (len < units && read[len] != Ch(0)) ++len;
    std::memcpy(out + done, read, len * sizeof(Ch));
    done += len;
    if (len < want) break;
  }
  return done;
}

// Copies at most max characters of the text at s into out, up to its NUL (not
// copied) or its first unreadable character; returns the number copied.
template <typename Ch>
size_t SafeCopy(const Ch* s, Ch* out, size_t max) {
  if (s == nullptr || (reinterpret_cast<uintptr_t>(s) % sizeof(Ch)) != 0) return 0;
  // The frame of this call lies below the caller's: everything from it up to the
  // top of the stack is mapped while the copy runs.
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  // Most texts lie whole in memory known to be readable.
  uintptr_t addr = reinterpret_cast<uintptr_t>(s);
  uintptr_t end = KnownReadableEnd(addr, frame);
  size_t known = end > addr ? std::min<size_t>((end - addr) / sizeof(Ch), max) : 0;
  size_t done = known > 0 ? CopyUntilNul(s, known, out) : 0;
  if (done < known || done == max) return done;
  return SafeCopyRest(s, out, max, done, frame);
}

template <typename Ch>
std::basic_string<Ch> SafeRead(const Ch* s, size_t max) {
  std::basic_string<Ch> out;
  if (s == nullptr) return out;
  // Grows in steps, so that a short text costs a short buffer.
  size_t step = 256;
  while (out.size() < max) {
    size_t at = out.size();
    size_t want = std::min(step, max - at);
    out.resize(at + want);
    const Ch* from = reinterpret_cast<const Ch*>(reinterpret_cast<uintptr_t>(s) + at * sizeof(Ch));
    size_t got = SafeCopy(from, out.data() + at, want);
    out.resize(at + got);
    if (got < want) break;
    step = std::min<size_t>(step * 4, 65536);
  }
  return out;
}

}  // namespace

size_t CopyStringSafely(const char* s, char* out, size_t max) {
  return SafeCopy(s, out, max);
}

size_t SafeCopyString(const char* s, char* out, size_t max) {
  return SafeCopy(s, out, max);
}

std::string SafeReadString(const char* s, size_t max) {
  return SafeRead(s, max);
}

std::u16string SafeReadWString(const char16_t* s, size_t max) {
  return SafeRead(s, max);
}

size_t SafeReadBytes(const void* from, size_t size, void* out) {
  if (from == nullptr) return 0;
  size_t done = 0;
  while (done < size) {
    // Page by page, so that a readable head before an unmapped page is copied.
    uintptr_t addr = reinterpret_cast<uintptr_t>(from) + done;
    size_t want = std::min<size_t>(kPage - (addr & (kPage - 1)), size - done);
    size_t n = KernelRead(addr, static_cast<char*>(out) + done, want);
    done += n;
    if (n < want) break;
  }
  return done;
}

}  // namespace qx::platform
