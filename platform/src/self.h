// The calling process's and thread's ids without a system call each time: the
// mutexes record their owner on every acquisition. Both are refreshed in a child
// after fork(). Thread-safety: reentrant.
#ifndef QXPLATFORM_SRC_SELF_H
#define QXPLATFORM_SRC_SELF_H

#include <sys/types.h>

namespace qx::platform {

pid_t SelfPid();
pid_t SelfTid();

}  // namespace qx::platform

#endif
