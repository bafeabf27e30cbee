// SDS lists: entries collected node by node before they become a buffer. Each node
// holds its entry exactly as a buffer will, so creating the buffer is a copy.
#include <cstdlib>
#include <cstring>

#include "sds_codec.h"

namespace qx::comn::sds {
namespace {

// Makes a node for the entry, or reports why not. The list is not touched.
DWORD MakeNode(const Name* name, bool name_null, DWORD length, const void* data, uint8_t type,
               PSDSLISTENTRY* node) {
  if (DWORD rc = CheckNewEntry(name, name_null, data, length, type); rc != SDS_OK) return rc;
  std::vector<uint8_t> entry;
  if (DWORD rc = BuildEntry(*name, length, data, type, &entry); rc != SDS_OK) return rc;
  auto* n = static_cast<PSDSLISTENTRY>(std::malloc(sizeof(SDSLISTENTRY) + entry.size()));
  if (n == nullptr) return SDS_NO_MEMORY;
  n->pNext = nullptr;
  n->ulLength = static_cast<DWORD>(entry.size());
  std::memcpy(n->abEntry, entry.data(), entry.size());
  *node = n;
  return SDS_OK;
}

Name NarrowName(LPCSTR name) {
  Name n;
  if (name) n.narrow = name;
  return n;
}

Name WideName(LPCWSTR name) {
  Name n;
  n.is_wide = true;
  if (name) n.wide = name;
  return n;
}

DWORD AddEntry(PSDSLIST list, const Name& name, bool name_null, DWORD length, LPCVOID data,
               BYTE type) {
  if (list == nullptr) return SDS_NULL_LIST;
  PSDSLISTENTRY node = nullptr;
  if (DWORD rc = MakeNode(&name, name_null, length, data, type, &node); rc != SDS_OK) return rc;
  if (list->pFirst == nullptr) {
    list->pFirst = node;
  } else {
    PSDSLISTENTRY last = list->pFirst;
    while (last->pNext) last = last->pNext;
    last->pNext = node;
  }
  list->pCurrent = node;
  return SDS_OK;
}

DWORD ReplaceEntry(PSDSLIST list, PSDSLISTENTRY old, const Name& name, bool name_null, DWORD length,
                   LPCVOID data, BYTE type) {
  if (list == nullptr) return SDS_NULL_LIST;
  PSDSLISTENTRY node = nullptr;
  if (DWORD rc = MakeNode(&name, name_null, length, data, type, &node); rc != SDS_OK) return rc;
  PSDSLISTENTRY* link = &list->pFirst;
  while (*link && *link != old) link = &(*link)->pNext;
  if (old == nullptr || *link == nullptr) {
    std::free(node);
    return SDS_NOT_FOUND;
  }
  node->pNext = old->pNext;
  *link = node;
  if (list->pCurrent == old) list->pCurrent = node;
  std::free(old);
  return SDS_OK;
}

// A node's entry as a parsed view (a node's entry is always well formed: the
// list made it).
Entry NodeEntry(PSDSLISTENTRY node) {
  Entry e;
  // The entry is followed by nothing; give it a room of its own length.
  ParseEntry(node->abEntry, node->ulLength, &e);
  ConvertOnRead(&e);
  return e;
}

template <typename Ch>
DWORD NextEntry(PSDSLIST list, PSDSLISTENTRY* cursor, Ch* name, LPDWORD length, LPVOID* data,
                LPBYTE type, bool want_wide) {
  if (list == nullptr || cursor == nullptr) return SDS_NULL_LIST;
  PSDSLISTENTRY node = *cursor ? (*cursor)->pNext : list->pFirst;
  if (node == nullptr) return SDS_END;
  *cursor = node;
  Entry e = NodeEntry(node);
  if (e.wide_name != want_wide) return SDS_OTHER_WIDTH;
  DWORD n = 0;
  ConvertValue(&e, /*wide_chars_as_bytes=*/true, &n);
  CopyName(e, name);
  if (length) *length = n;
  if (data) *data = e.data;
  if (type) *type = e.type;
  return SDS_OK;
}

DWORD FindEntry(PSDSLIST list, const Name& name, bool name_null, LPDWORD length, LPVOID* data) {
  if (list == nullptr) return SDS_NULL_LIST;
  if (name_null) return SDS_NULL_ARG;
  for (PSDSLISTENTRY node = list->pFirst; node; node = node->pNext) {
    Entry e = NodeEntry(node);
    if (e.wide_name != name.is_wide) return SDS_OTHER_WIDTH;
    if (!NameEquals(e, name)) continue;
    DWORD n = 0;
    ConvertValue(&e, /*wide_chars_as_bytes=*/true, &n);
    if (length) *length = n;
    if (data) *data = e.data;
    return SDS_OK;
  }
  return SDS_NOT_FOUND;
}

}  // namespace
}  // namespace qx::comn::sds

using namespace qx::comn::sds;

QX_EXPORT PSDSLIST SdsInitList(void) {
  return static_cast<PSDSLIST>(std::calloc(1, sizeof(SDSLIST)));
}

QX_EXPORT DWORD SdsFreeList(PSDSLIST pList) {
  if (pList == nullptr) return SDS_OK;
  for (PSDSLISTENTRY node = pList->pFirst; node;) {
    PSDSLISTENTRY next = node->pNext;
    std::free(node);
    node = next;
  }
  std::free(pList);
  return SDS_OK;
}

QX_EXPORT DWORD SdsAddListEntry(PSDSLIST pList, LPCSTR pszName, DWORD ulLength, LPCVOID pData,
                                BYTE bType) {
  return AddEntry(pList, NarrowName(pszName), pszName == nullptr, ulLength, pData, bType);
}

QX_EXPORT DWORD SdsAddListEntryW(PSDSLIST pList, LPCWSTR pwszName, DWORD ulLength, LPCVOID pData,
                                 BYTE bType) {
  return AddEntry(pList, WideName(pwszName), pwszName == nullptr, ulLength, pData, bType);
}

QX_EXPORT DWORD SdsReplaceListEntry(PSDSLIST pList, PSDSLISTENTRY pOld, LPCSTR pszName,
                                    DWORD ulLength, LPCVOID pData, BYTE bType) {
  return ReplaceEntry(pList, pOld, NarrowName(pszName), pszName == nullptr, ulLength, pData, bType);
}

QX_EXPORT DWORD SdsReplaceListEntryW(PSDSLIST pList, PSDSLISTENTRY pOld, LPCWSTR pwszName,
                                     DWORD ulLength, LPCVOID pData, BYTE bType) {
  return ReplaceEntry(pList, pOld, WideName(pwszName), pwszName == nullptr, ulLength, pData, bType);
}

QX_EXPORT DWORD SdsGetNextListEntry(PSDSLIST pList, PSDSLISTENTRY* ppCursor, LPSTR pszName,
                                    LPDWORD pulLength, LPVOID* ppData, LPBYTE pbType) {
  return NextEntry(pList, ppCursor, pszName, pulLength, ppData, pbType, false);
}

QX_EXPORT DWORD SdsGetNextListEntryW(PSDSLIST pList, PSDSLISTENTRY* ppCursor, LPWSTR pwszName,
                                     LPDWORD pulLength, LPVOID* ppData, LPBYTE pbType) {
  return NextEntry(pList, ppCursor, pwszName, pulLength, ppData, pbType, true);
}

QX_EXPORT DWORD SdsGetListEntry(PSDSLIST pList, LPCSTR pszName, LPDWORD pulLength, LPVOID* ppData) {
  return FindEntry(pList, NarrowName(pszName), pszName == nullptr, pulLength, ppData);
}

QX_EXPORT DWORD SdsGetListEntryW(PSDSLIST pList, LPCWSTR pwszName, LPDWORD pulLength,
                                 LPVOID* ppData) {
  return FindEntry(pList, WideName(pwszName), pwszName == nullptr, pulLength, ppData);
}

QX_EXPORT PSDSLISTENTRY SdsGetCurrentListEntry(PSDSLIST pList) {
  return pList ? pList->pCurrent : nullptr;
}

QX_EXPORT DWORD SdsSaveCurrentListEntry(PSDSLIST pList, PSDSLISTENTRY pNode) {
  if (pList == nullptr) return SDS_NULL_LIST;
  if (pNode == nullptr) return SDS_BAD_NODE;
  // A node of another list would later be unlinked from this one.
  PSDSLISTENTRY node = pList->pFirst;
  while (node && node != pNode) node = node->pNext;
  if (node == nullptr) return SDS_NOT_FOUND;
  pList->pCurrent = pNode;
  return SDS_OK;
}

QX_EXPORT DWORD SdsRemoveCurrentListEntry(PSDSLIST pList, PSDSLISTENTRY pPredecessor) {
  if (pList == nullptr) return SDS_NULL_LIST;
  PSDSLISTENTRY current = pList->pCurrent;
  if (current == nullptr) return SDS_BAD_NODE;
  if (pPredecessor) {
    if (pPredecessor->pNext != current) return SDS_BAD_NODE;
    pPredecessor->pNext = current->pNext;
  } else {
    if (pList->pFirst != current) return SDS_BAD_NODE;
    pList->pFirst = current->pNext;
  }
  pList->pCurrent = current->pNext;
  std::free(current);
  return SDS_OK;
}
