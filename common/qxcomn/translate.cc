// Character translation in place, narrow and wide: through a table built from a
// "from" and a "to" list, or through one of the named conversions.
#include <qxcomn.h>

#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "translate_tables.h"

namespace qx::comn {
namespace {

template <typename Ch>
size_t Length(const Ch* s) {
  return std::basic_string_view<Ch>(s).size();
}

bool IsAsciiGraphic(unsigned c) {
  return c > 0x20 && c < 0x7F;
}

template <typename Ch>
Ch AsciiUpper(Ch c) {
  return (c >= 'a' && c <= 'z') ? Ch(c - 32) : c;
}
template <typename Ch>
Ch AsciiLower(Ch c) {
  return (c >= 'A' && c <= 'Z') ? Ch(c + 32) : c;
}

// Characters are indexed as unsigned; those beyond a 256-entry table stay.
template <typename Ch>
void ThroughTable(Ch* s, size_t n, const uint8_t* table) {
  using U = std::make_unsigned_t<Ch>;
  for (size_t i = 0; i < n; ++i) {
    U c = static_cast<U>(s[i]);
    if (c < 256) s[i] = static_cast<Ch>(table[c]);
  }
}

template <typename Ch>
bool Named(Ch* s, size_t n, std::basic_string_view<Ch> name, Ch pad) {
  using U = std::make_unsigned_t<Ch>;
  auto is = [&](const char* want) {
    size_t len = std::strlen(want);
    if (name.size() != len) return false;
    for (size_t i = 0; i < len; ++i)
      if (name[i] != Ch(want[i])) return false;
    return true;
  };
  if (is("toascii")) {
    ThroughTable(s, n, kToAscii);
  } else if (is("toebcdic")) {
    ThroughTable(s, n, kToEbcdic);
  } else if (is("toupper")) {
    for (size_t i = 0; i < n; ++i) s[i] = AsciiUpper(s[i]);
  } else if (is("tolower")) {
    for (size_t i = 0; i < n; ++i) s[i] = AsciiLower(s[i]);
  } else if (is("tograph")) {
    for (size_t i = 0; i < n; ++i)
      if (!IsAsciiGraphic(static_cast<U>(s[i]))) s[i] = pad;
  } else {
    return false;
  }
  return true;
}

template <typename Ch>
void WithLists(Ch* s, size_t n, const Ch* to, const Ch* from, Ch pad) {
  using U = std::make_unsigned_t<Ch>;
  std::array<Ch, 256> table;
  for (unsigned c = 0; c < 256; ++c) table[c] = static_cast<Ch>(c);
  // Wide "from" characters beyond the table get entries of their own.
  std::unordered_map<U, Ch> beyond;
  size_t to_len = Length(to);
  size_t from_len = Length(from);
  for (size_t i = 0; i < from_len; ++i) {
    U c = static_cast<U>(from[i]);
    Ch value = i < to_len ? to[i] : pad;
    if (c < 256)
      table[c] = value;
    else
      beyond[c] = value;
  }
  for (size_t i = 0; i < n; ++i) {
    U c = static_cast<U>(s[i]);
    if (c < 256) {
      s[i] = table[c];
    } else if (!beyond.empty()) {
      auto it = beyond.find(c);
      if (it != beyond.end()) s[i] = it->second;
    }
  }
}

template <typename Ch>
Ch* Translate(Ch* s, const Ch* to, const Ch* from, Ch pad, DWORD length) {
  if (s == nullptr || to == nullptr || length == 0) return nullptr;
  if (from == nullptr) return Named(s, length, std::basic_string_view<Ch>(to), pad) ? s : nullptr;
  WithLists(s, length, to, from, pad);
  return s;
}

}  // namespace
}  // namespace qx::comn

QX_EXPORT LPSTR QXtransn(LPSTR pszText, LPCSTR pszTo, LPCSTR pszFrom, CHAR cPad, DWORD dwLength) {
  return qx::comn::Translate(pszText, pszTo, pszFrom, cPad, dwLength);
}

QX_EXPORT LPSTR QXtrans(LPSTR pszText, LPCSTR pszTo, LPCSTR pszFrom, CHAR cPad) {
  if (pszText == nullptr) return nullptr;
  return QXtransn(pszText, pszTo, pszFrom, cPad, DWORD(std::strlen(pszText)));
}

QX_EXPORT LPWSTR QXtransn_w(LPWSTR pwszText, LPCWSTR pwszTo, LPCWSTR pwszFrom, WCHAR wcPad,
                            DWORD dwLength) {
  return qx::comn::Translate(pwszText, pwszTo, pwszFrom, wcPad, dwLength);
}

QX_EXPORT LPWSTR QXtrans_w(LPWSTR pwszText, LPCWSTR pwszTo, LPCWSTR pwszFrom, WCHAR wcPad) {
  if (pwszText == nullptr) return nullptr;
  return QXtransn_w(pwszText, pwszTo, pwszFrom, wcPad, DWORD(std::u16string_view(pwszText).size()));
}
