// Chains of caller-owned blocks linked through fields inside the blocks.
//
// The offset of the links (and of the key) within a block is taken from the block
// the caller passes; every other block of the chain has them at the same offset.
// Membership is decided by walking the chain from the first block and comparing
// addresses, so a block is never linked twice.
#include <qxcomn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalog_env.h"

namespace qx::comn {
namespace {

// Diagnostic codes of the chain facility.
constexpr int kDiagBadFunction = 16;
constexpr int kDiagKeyLength = 18;
constexpr int kDiagNotFound = 28;
constexpr int kDiagBadPlace = 32;
constexpr int kDiagDuplicate = 34;
constexpr int kDiagUnknown = 99;

// Parts of a compound key followed at most: a longer descriptor chain is taken as
// a loop in the caller's descriptors.
constexpr int kMaxKeyParts = 65536;

// Whether the debug variable QX_QXIDEBUG is defined in the environment store.
bool DebugVariableDefined() { return qx::comn::StoreGetEnv("QX_QXIDEBUG") != nullptr; }

// Prints a diagnostic on standard output while the debug variable is defined. The
// wide entry point prints the same texts (as UTF-8, like all text here).
void Diagnose(int code, const char* what) {
  if (!DebugVariableDefined()) return;
  char line[160];
  switch (code) {
    case kDiagBadFunction:
      std::snprintf(line, sizeof line, "\nQXchain_F_FCALL Invalid function call to QXchain\n");
      break;
    case kDiagKeyLength:
      std::snprintf(line, sizeof line, "\nQXchain_F_INVLEN Invalid keyfield length\n");
      break;
    case kDiagNotFound:
      std::snprintf(line, sizeof line, "\nQXchain_F_NOTFND Invalid linked list location for %s\n",
                    what);
      break;
    case kDiagBadPlace:
      std::snprintf(line, sizeof line, "\nQXchain_F_FSEQ Invalid sequence option for %s\n", what);
      break;
    case kDiagDuplicate:
      std::snprintf(line, sizeof line, "\nQXchain_F_BDUP Block to %s already in chain\n", what);
      break;
    default:
      std::snprintf(line, sizeof line, "\nQXchain_F_UNKN Unknown error, Rc= %d, FuncValue= %s\n",
                    QXCHAIN_FAILED, what);
  }
  std::fputs(line, stdout);
  std::fflush(stdout);
}

class Chain {
 public:
  Chain(PQXCHAIN anchor, void* block, void* links)
      : anchor_(anchor), offset_(static_cast<char*>(links) - static_cast<char*>(block)) {}

  QXCHAINLINKS* Links(void* block) const {
    return reinterpret_cast<QXCHAINLINKS*>(static_cast<char*>(block) + offset_);
  }

  bool Contains(void* block) const {
    for (void* b = anchor_->pFirst; b; b = Links(b)->pNext)
      if (b == block) return true;
    return false;
  }

  // Links `block` between prev and next (either may be null: an end of the chain).
  void LinkBetween(void* block, void* prev, void* next) {
    Links(block)->pPrev = prev;
    Links(block)->pNext = next;
    if (prev)
      Links(prev)->pNext = block;
    else
      anchor_->pFirst = block;
    if (next)
      Links(next)->pPrev = block;
    else
      anchor_->pLast = block;
  }

  void Unlink(void* block) {
    void* prev = Links(block)->pPrev;
    void* next = Links(block)->pNext;
    if (prev)
      Links(prev)->pNext = next;
    else
      anchor_->pFirst = next;
    if (next)
      Links(next)->pPrev = prev;
    else
      anchor_->pLast = prev;
    Links(block)->pPrev = Links(block)->pNext = nullptr;
  }

  PQXCHAIN anchor() const { return anchor_; }

 private:
  PQXCHAIN anchor_;
  ptrdiff_t offset_;
};

int Compare(const void* a, const void* b, size_t n) {
  return n ? std::memcmp(a, b, n) : 0;
}

bool PartValid(const QXCHAINKEY* k) {
  return k && (k->pKey || k->dwLength == 0);
}

// Tie-break of two compound keys whose first parts agree over the shorter length:
// whether the walk stops at X. Flag 4 puts the longer key first. -1 when a key is
// damaged.
int TieBreak(const QXCHAINKEY* x, const QXCHAINKEY* n, bool longer_first) {
  for (int parts = 0; parts < kMaxKeyParts; ++parts) {
    if (x->dwLength < n->dwLength) return longer_first;
    if (x->dwLength > n->dwLength) return !longer_first;
    if (!x->pNext && !n->pNext) return 0;
    if (!x->pNext) return longer_first;
    if (!n->pNext) return !longer_first;
    x = x->pNext;
    n = n->pNext;
    if (!PartValid(x) || !PartValid(n)) return -1;
    if (Compare(x->pKey, n->pKey, std::min(x->dwLength, n->dwLength)) != 0) return 0;
  }
  return -1;
}

// ADD in key order. Finds the block the new one goes before (null: the end) first,
// so a damaged key leaves the chain unchanged.
int AddInOrder(Chain* chain, void* block, void* key, DWORD place, DWORD command, DWORD key_length) {
  ptrdiff_t key_offset = static_cast<char*>(key) - static_cast<char*>(block);
  bool compound = command & QXCHAIN_COMPOUND_KEY;
  bool descending = place == QXCHAIN_DESCENDING;
  if (!compound && key_length == 0) {
    Diagnose(kDiagKeyLength, "ADD");
    return QXCHAIN_FAILED;
  }
  auto* nkey = static_cast<const QXCHAINKEY*>(key);
  if (compound && !PartValid(nkey)) {
    Diagnose(kDiagKeyLength, "ADD");
    return QXCHAIN_FAILED;
  }
  void* stop_at = nullptr;
  for (void* x = chain->anchor()->pFirst; x; x = chain->Links(x)->pNext) {
    const void* xkey = static_cast<char*>(x) + key_offset;
    bool stop;
    if (!compound) {
      int c = std::memcmp(xkey, key, key_length);
      stop = descending ? c <= 0 : c >= 0;
    } else {
      auto* xk = static_cast<const QXCHAINKEY*>(xkey);
      if (!PartValid(xk)) {
        Diagnose(kDiagKeyLength, "ADD");
        return QXCHAIN_FAILED;
      }
      int c = Compare(xk->pKey, nkey->pKey, std::min(xk->dwLength, nkey->dwLength));
      if (c == 0) {
        int tie = TieBreak(xk, nkey, command & QXCHAIN_BEFORE);
        if (tie < 0) {
          Diagnose(kDiagKeyLength, "ADD");
          return QXCHAIN_FAILED;
        }
        stop = tie;
      } else {
        stop = descending ? c < 0 : c > 0;
      }
    }
    if (stop) {
      stop_at = x;
      break;
    }
  }
  void* prev = stop_at ? chain->Links(stop_at)->pPrev : chain->anchor()->pLast;
  chain->LinkBetween(block, prev, stop_at);
  return QXCHAIN_OK;
}

int Add(Chain* chain, void* block, void* key, DWORD command, DWORD key_length) {
  DWORD place = command & 0x0000FF00u;
  if (place != QXCHAIN_FIRST && place != QXCHAIN_LAST && place != QXCHAIN_ASCENDING &&
      place != QXCHAIN_DESCENDING) {
    Diagnose(kDiagBadPlace, "ADD");
    return QXCHAIN_FAILED;
  }
  if (chain->Contains(block)) {
    Diagnose(kDiagDuplicate, "ADD");
    return QXCHAIN_FAILED;
  }
  if (place == QXCHAIN_FIRST) {
    chain->LinkBetween(block, nullptr, chain->anchor()->pFirst);
    return QXCHAIN_OK;
  }
  if (place == QXCHAIN_LAST) {
    chain->LinkBetween(block, chain->anchor()->pLast, nullptr);
    return QXCHAIN_OK;
  }
  if (key == nullptr) {
    Diagnose(kDiagKeyLength, "ADD");
    return QXCHAIN_FAILED;
  }
  return AddInOrder(chain, block, key, place, command, key_length);
}

int Run(PQXCHAIN anchor, void* block, void* third, void* links, DWORD command, DWORD key_length) {
  DWORD function = command & 0x00FF0000u;
  const char* name = function == QXCHAIN_REPLACE  ? "REPLACE"
                     : function == QXCHAIN_INSERT ? "INSERT"
                     : function == QXCHAIN_DELETE ? "DELETE"
                     : function == QXCHAIN_ADD    ? "ADD"
                                                  : nullptr;
  if (name == nullptr) {
    Diagnose(kDiagBadFunction, "");
    return QXCHAIN_BAD_FUNCTION;
  }
  if (anchor == nullptr || block == nullptr || links == nullptr) {
    Diagnose(kDiagUnknown, name);
    return QXCHAIN_FAILED;
  }
  Chain chain(anchor, block, links);
  switch (function) {
    case QXCHAIN_ADD:
      return Add(&chain, block, third, command, key_length);
    case QXCHAIN_INSERT:
      if (chain.Contains(block)) {
        Diagnose(kDiagDuplicate, "ADD");
        return QXCHAIN_FAILED;
      }
      if (third == nullptr || !chain.Contains(third)) {
        Diagnose(kDiagNotFound, "INSERT");
        return QXCHAIN_FAILED;
      }
      if (command & QXCHAIN_BEFORE)
        chain.LinkBetween(block, chain.Links(third)->pPrev, third);
      else
        chain.LinkBetween(block, third, chain.Links(third)->pNext);
      return QXCHAIN_OK;
    case QXCHAIN_DELETE:
      if (!chain.Contains(block)) {
        Diagnose(kDiagNotFound, "DELETE");
        return QXCHAIN_FAILED;
      }
      chain.Unlink(block);
      if (command & QXCHAIN_FREE) std::free(block);
      return QXCHAIN_OK;
    default: {  // REPLACE
      if (chain.Contains(block)) {
        Diagnose(kDiagDuplicate, "REPLACE");
        return QXCHAIN_FAILED;
      }
      if (third == nullptr || !chain.Contains(third)) {
        Diagnose(kDiagNotFound, "REPLACE");
        return QXCHAIN_FAILED;
      }
      void* prev = chain.Links(third)->pPrev;
      void* next = chain.Links(third)->pNext;
      chain.LinkBetween(block, prev, next);
      std::free(third);
      return QXCHAIN_OK;
    }
  }
}

}  // namespace
}  // namespace qx::comn

QX_EXPORT int QXchain(PQXCHAIN pAnchor, void* pBlock, void* pThird, void* pLinks, DWORD dwCommand,
                      DWORD dwKeyLength) {
  return qx::comn::Run(pAnchor, pBlock, pThird, pLinks, dwCommand, dwKeyLength);
}

QX_EXPORT int QXchain_w(PQXCHAIN pAnchor, void* pBlock, void* pThird, void* pLinks, DWORD dwCommand,
                        DWORD dwKeyLength) {
  return qx::comn::Run(pAnchor, pBlock, pThird, pLinks, dwCommand, dwKeyLength);
}
