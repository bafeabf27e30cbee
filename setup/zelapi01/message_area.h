// The per-thread message area: the internals shared by the library's sources.
//
// Each thread has a chain of areas (made at its first call, freed when the thread
// ends); the last one is current. Templates come from the area's message module,
// else from the library's default message library qxcmn_rc, loaded once per
// process in the user's language.
// Thread-safety: areas are per thread; the default module is set once under a lock.
#ifndef QX_SETUP_ZELAPI01_MESSAGE_AREA_H
#define QX_SETUP_ZELAPI01_MESSAGE_AREA_H

#include <qxplatform/types.h>
#include <zelapi01.h>

#include <cstdarg>
#include <cstdint>
#include <string>

// One message area. Field order as the library has always kept it; the links
// chain a thread's areas.
struct ZELMSGAREA {
  HMODULE module;
  HMODULE last_module;
  char text[ZEL_MSG_TEXT_SIZE];
  char copy[ZEL_MSG_TEXT_SIZE];
  uint32_t msg_id;
  uint32_t error_id;
  ZELMSGAREA* prev;
  ZELMSGAREA* next;
};

namespace qx::zel {

// The calling thread's current area, made at the first call; nullptr once the
// thread's chain is gone (during thread exit) or when it cannot be made.
ZELMSGAREA* CurrentArea();

// The number of areas in the calling thread's chain (0 before its first call).
size_t ChainDepth();

// Sets a message (as vSetMsgString) and returns whether the template was found.
bool SetMessage(HMODULE module, DWORD msg_id, va_list args);

// Sets message 6 with the operation's name. Always returns FALSE.
BOOL MissingArgument(const char* operation);

// Length of the longest prefix of text within max bytes that ends on a UTF-8
// character boundary.
size_t Utf8Cut(const char* text, size_t length, size_t max);

// The library's default message module; for tests: set it (tried = true stops the
// loading of qxcmn_rc) or forget it (tried = false loads it again at next need).
void SetDefaultMessageModule(HMODULE module, bool tried);

}  // namespace qx::zel

#endif
