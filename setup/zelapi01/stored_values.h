// Reading single text values of the registry store, for the library's own
// settings (the user's language, the stored environments, folder settings).
// Thread-safety: reentrant.
#ifndef QX_SETUP_ZELAPI01_STORED_VALUES_H
#define QX_SETUP_ZELAPI01_STORED_VALUES_H

#include <qxplatform/registry.h>

#include <optional>
#include <string>

namespace qx::zel {

// The text of value name under root\subkey (REG_SZ or REG_EXPAND_SZ, unexpanded)
// and its type; nullopt with *error set to the registry's code (ERROR_FILE_NOT_FOUND
// when the key or value is missing, ERROR_INVALID_DATA for another type).
std::optional<std::string> ReadStoredText(HKEY root, const char* subkey, const char* name,
                                          DWORD* type, LSTATUS* error);

}  // namespace qx::zel

#endif
