// The fault-safe string copy behind SafeCopyString, for the platform library's
// own callers: a direct call, where the exported name is reached through the
// procedure linkage table.
#ifndef QXPLATFORM_SAFE_READ_H
#define QXPLATFORM_SAFE_READ_H

#include <cstddef>

namespace qx::platform {

// SafeCopyString.
size_t CopyStringSafely(const char* s, char* out, size_t max);

}  // namespace qx::platform

#endif
