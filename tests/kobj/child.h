// A helper process started by a test: its stdout is read line by line, and it can
// be killed and reaped. Started with posix_spawn, so that these tests do not lean
// on the process calls they may be testing.
#ifndef QX_TESTS_KOBJ_CHILD_H
#define QX_TESTS_KOBJ_CHILD_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qx::testing {

class Child {
 public:
  // Starts the build tree's kobj_helper with the arguments.
  explicit Child(const std::vector<std::string>& args);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();  // kills and reaps a child still running

  // The next line of output, without its newline; "<timeout>" or "<eof>".
  std::string ReadLine(int timeout_ms = 10000);
  void Kill();  // SIGKILL, then reap
  // Waits for the end; the exit status, or -signal.
  int Wait();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool reaped_ = false;
  int status_ = 0;
};

// Files left under $QX_RUNTIME_DIR (relative paths), for the "nothing left" checks.
std::vector<std::string> RuntimeLeftovers();

}  // namespace qx::testing

#endif
