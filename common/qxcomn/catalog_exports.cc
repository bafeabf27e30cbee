// The catalog's exported entries: qximsgv and the lower-level entries for the
// product's message tools.
#include <qxcomn.h>

#include <cstring>

#include "catalog.h"

namespace qx::comn {
namespace {

using Kind = FormatArg::Kind;

// The library's text buffer of QX_get_msg, per thread.
thread_local char t_text_buffer[kMaxMessageText + 1];

// The C library's memset, never an inlined one: it picks the widest stores the
// processor has, and the blanks are most of the work of a lookup.
void* (*volatile const g_memset)(void*, int, size_t) = std::memset;

// Ends a descriptor's text of n characters (n < width): its NUL, blanks up to the
// width, and a NUL as the width's last character, so the text area is always
// terminated.
void EndText(QXMSGDESC* desc, size_t n, size_t width) {
  g_memset(desc->szText + n, ' ', width - n);
  desc->szText[n] = '\0';
  desc->szText[width - 1] = '\0';
}

// Fills a descriptor's text: the text (cut to width - 1 characters), then as
// EndText.
void FillText(QXMSGDESC* desc, std::string_view text, size_t width) {
  size_t n = std::min(text.size(), width - 1);
  std::memcpy(desc->szText, text.data(), n);
  EndText(desc, n, width);
}

// A value of the value array read as the kind its conversion takes.
[[gnu::always_inline]] inline FormatArg SlotValue(QXMSGVALUE slot, const ValueKind& kind) {
  switch (kind.kind) {
    case Kind::kUInt:
      return FormatArg::UInt(kind.is64 ? uint64_t(slot) : uint32_t(slot));
    case Kind::kString:
      return FormatArg::Str(reinterpret_cast<const char*>(slot));
    case Kind::kWString:
      return FormatArg::WStr(reinterpret_cast<const char16_t*>(slot));
    case Kind::kPointer:
      return FormatArg::Ptr(reinterpret_cast<const void*>(slot));
    case Kind::kDouble: {
      double d;
      uint64_t bits = slot;
      std::memcpy(&d, &bits, sizeof d);
      return FormatArg::Double(d);
    }
    default:
      return FormatArg::Int(kind.is64 ? int64_t(slot) : int64_t(int32_t(uint32_t(slot))));
  }
}

const char* const kToolErrors[12] = {
    "%s_I_0001 Symbol out of sequence '%s'\n",
    "%s_F_0002 Message directory not found\n",
    "%s_F_0003 File Not Found or Access denied '%s'\n",
    "%s_F_0004 No END directive for this facility '%s'\n",
    "%s_F_0005 No SEVERITY directive for this facility '%s'\n",
    "%s_F_0006 Unable to allocate memory\n",
    "%s_F_0007 Error writing to '%s'\n",
    "%s_F_0008 Seek error on '%s'\n",
    "%s_F_0009 No facility name or number on '%s'\n",
    "%s_F_0010 Severity directive has no severity specified\n",
    "%s_F_0011 Base directive has no base specified\n",
    "%s_F_0012 Read error on '%s'\n",
};

DWORD ToolError(QXMSGDESC* desc, int index, const char* value) {
  if (desc == nullptr) return QX_STATUS_FAILURE;
  std::string text;
  if (index < 0 || index >= 12) {
    text = "%QXIMSGV_F_0000 Unknown message tool error " + std::to_string(index) + "\n";
  } else {
    FormatArg args[2] = {FormatArg::Str("%QXIMSGV"), FormatArg::Str(value ? value : "")};
    text = platform::FormatPrintf(kToolErrors[index], args);
  }
  CutUtf8(&text, kLongWidth - 1);
  std::memcpy(desc->szText, text.c_str(), text.size() + 1);
  return QX_STATUS_FAILURE;
}

}  // namespace
}  // namespace qx::comn

using namespace qx::comn;

DWORD qximsgv(void*, int, QXMSGDESC* desc, const QXMSGVALUE* values, int mode) {
  if (desc == nullptr) return QX_STATUS_FAILURE;
  size_t width = mode == QX_MSGMODE_SHORT ? kShortWidth : kLongWidth;
  bool wide = mode == QX_MSGMODE_WIDE;
  std::string text;
  const CatalogMessage* msg = FindMessage(desc->dwMsgId, &text);
  if (msg == nullptr) {
    FillText(desc, text, width);
    return QX_STATUS_FAILURE;
  }
  if (values == nullptr) {
    text = FormatMessage(*msg, nullptr, wide, width);
    FillText(desc, text, width);
    return QX_STATUS_SUCCESS;
  }
  const ValueKindList& kinds = ValueKinds(*msg, wide);
  if (wide) {
    MessageValues args;
    for (size_t k = 0; k < kMessageValues; ++k) args[k] = SlotValue(values[k], kinds[k]);
    FillText(desc, FormatMessage(*msg, &args, wide, width), width);
    return QX_STATUS_SUCCESS;
  }
  PositionalValues positional(*msg, [&](size_t v) { return SlotValue(values[v], kinds[v]); });
  if (positional.PointInto(desc, sizeof *desc)) {
    // A value points into the descriptor (its old text, say): formatted apart,
    // so that it is read before it is written over.
    char formatted[kLongWidth];
    size_t n = FormatMessageTo(*msg, positional, formatted, width);
    FillText(desc, std::string_view(formatted, n), width);
  } else {
    EndText(desc, FormatMessageTo(*msg, positional, desc->szText, width), width);
  }
  return QX_STATUS_SUCCESS;
}

DWORD QX_init_file(void) {
  ForgetSearches();
  return QX_STATUS_SUCCESS;
}

const void* QX_get_facility(int facility) {
  const auto& current = CurrentCatalog();
  if (!current || facility <= 0) return nullptr;
  std::optional<size_t> record = current->view().FindFacility(uint32_t(facility));
  return record ? current->view().bytes().data() + *record : nullptr;
}

const void* QX_get_msg_ptr(const void* facility_record, int msgnum) {
  const auto& current = CurrentCatalog();
  if (!current || facility_record == nullptr || msgnum < 0) return nullptr;
  const CatalogView& view = current->view();
  const uint8_t* base = view.bytes().data();
  const uint8_t* p = static_cast<const uint8_t*>(facility_record);
  if (p < base || p >= base + view.bytes().size()) return nullptr;
  size_t record = size_t(p - base);
  if (!view.IsRecord(record)) return nullptr;
  std::optional<MessageEntry> entry = view.FindMessage(record, uint32_t(msgnum));
  return entry ? base + entry->offset : nullptr;
}

DWORD QX_get_msg(QXMSGDESC*, int, DWORD offset) {
  const auto& current = CurrentCatalog();
  if (!current) return QX_STATUS_FAILURE;
  std::optional<std::string_view> text = current->view().TextAt(offset);
  if (!text) return QX_STATUS_FAILURE;
  std::memcpy(t_text_buffer, text->data(), text->size());
  t_text_buffer[text->size()] = '\0';
  return QX_STATUS_SUCCESS;
}

const char* QX_msg_text(void) {
  return t_text_buffer;
}

int QX_severity_not_equal(const char* text, int severity) {
  if (text == nullptr) return 1;
  std::string_view t(text, text[0] == '\0' ? 0 : strnlen(text, 2));
  return SeverityMismatch(t, uint32_t(severity) & 7u) ? 1 : 0;
}

DWORD QX_IO_error(QXMSGDESC* desc, int index, const char* value) {
  return ToolError(desc, index, value);
}

DWORD QX_msg_error(QXMSGDESC* desc, int index, const char* value) {
  return ToolError(desc, index, value);
}
