#include <gtest/gtest.h>
#include <qxcomn.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A block with its links in the middle and a key after them, as callers lay out
// their own records.
struct Block {
  int id;
  QXCHAINLINKS links;
  unsigned char key[4];
  QXCHAINKEY compound;
};

Block* NewBlock(int id, unsigned char key = 0) {
  auto* b = static_cast<Block*>(std::calloc(1, sizeof(Block)));
  b->id = id;
  b->key[0] = key;
  return b;
}

// Ids from first to last, checking the backward links on the way.
std::vector<int> Order(const QXCHAIN& chain) {
  std::vector<int> ids;
  void* prev = nullptr;
  for (void* p = chain.pFirst; p; p = static_cast<Block*>(p)->links.pNext) {
    auto* b = static_cast<Block*>(p);
    EXPECT_EQ(b->links.pPrev, prev) << b->id;
    ids.push_back(b->id);
    prev = p;
  }
  EXPECT_EQ(chain.pLast, prev);
  return ids;
}

int Add(QXCHAIN* c, Block* b, DWORD place, DWORD len = 1) {
  return QXchain(c, b, b->key, &b->links, QXCHAIN_ADD | place, len);
}

void FreeAll(QXCHAIN* c) {
  for (void* p = c->pFirst; p;) {
    void* next = static_cast<Block*>(p)->links.pNext;
    std::free(p);
    p = next;
  }
  c->pFirst = c->pLast = nullptr;
}

TEST(Chain, AddFirstLastAndKeyOrder) {
  QXCHAIN c{};
  Block* a = NewBlock(1);
  ASSERT_EQ(Add(&c, a, QXCHAIN_LAST), 0);
  EXPECT_EQ(c.pFirst, a);
  EXPECT_EQ(c.pLast, a);
  EXPECT_EQ(a->links.pNext, nullptr);
  EXPECT_EQ(a->links.pPrev, nullptr);
  ASSERT_EQ(Add(&c, NewBlock(0), QXCHAIN_FIRST), 0);
  ASSERT_EQ(Add(&c, NewBlock(2), QXCHAIN_LAST), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{0, 1, 2}));
  FreeAll(&c);

  for (unsigned char k : {3, 1, 2}) ASSERT_EQ(Add(&c, NewBlock(k, k), QXCHAIN_ASCENDING), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{1, 2, 3}));
  FreeAll(&c);
  for (unsigned char k : {3, 1, 2}) ASSERT_EQ(Add(&c, NewBlock(k, k), QXCHAIN_DESCENDING), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{3, 2, 1}));
  FreeAll(&c);
  // Equal keys: the later block goes before the earlier one, both ways.
  Add(&c, NewBlock(10, 5), QXCHAIN_ASCENDING);
  Add(&c, NewBlock(11, 5), QXCHAIN_ASCENDING);
  Add(&c, NewBlock(12, 9), QXCHAIN_DESCENDING);
  EXPECT_EQ(Order(c), (std::vector<int>{12, 11, 10}));
  FreeAll(&c);
}

TEST(Chain, CompoundKeys) {
  QXCHAIN c{};
  std::vector<std::string> parts1{"ab", "ab", "abc", "b", "a"};
  std::vector<Block*> blocks;
  auto add = [&](int id, const char* first, const char* second, DWORD flags) {
    Block* b = NewBlock(id);
    b->compound.pKey = first;
    b->compound.dwLength = DWORD(std::char_traits<char>::length(first));
    if (second) {
      auto* next = static_cast<QXCHAINKEY*>(std::calloc(1, sizeof(QXCHAINKEY)));
      next->pKey = second;
      next->dwLength = DWORD(std::char_traits<char>::length(second));
      b->compound.pNext = next;
    }
    blocks.push_back(b);
    return QXchain(&c, b, &b->compound, &b->links,
                   QXCHAIN_ADD | QXCHAIN_ASCENDING | QXCHAIN_COMPOUND_KEY | flags, 0);
  };
  // Without flag 4 equal keys keep their order and shorter keys come first.
  ASSERT_EQ(add(1, "ab", nullptr, 0), 0);
  ASSERT_EQ(add(2, "ab", nullptr, 0), 0);
  ASSERT_EQ(add(3, "abc", nullptr, 0), 0);
  ASSERT_EQ(add(4, "a", nullptr, 0), 0);
  ASSERT_EQ(add(5, "b", nullptr, 0), 0);
  ASSERT_EQ(add(6, "ab", "x", 0), 0);  // more parts: after the one-part "ab" keys
  EXPECT_EQ(Order(c), (std::vector<int>{4, 1, 2, 6, 3, 5}));
  // With flag 4, among keys that agree on their common bytes the longer one goes
  // first: ("ab","y") stops at "a", "abc" at ("ab","y"), and "ab" passes the
  // longer keys to stop at "a".
  ASSERT_EQ(add(7, "ab", "y", QXCHAIN_BEFORE), 0);
  ASSERT_EQ(add(8, "abc", nullptr, QXCHAIN_BEFORE), 0);
  ASSERT_EQ(add(9, "ab", nullptr, QXCHAIN_BEFORE), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{8, 7, 9, 4, 1, 2, 6, 3, 5}));
  // Equal first parts with unequal second parts do not stop the walk.
  ASSERT_EQ(add(10, "b", "a", 0), 0);
  EXPECT_EQ(Order(c).back(), 10);
  // A part with bytes but no address is refused, and the chain stays as it was.
  Block* bad = NewBlock(99);
  bad->compound.dwLength = 3;
  EXPECT_EQ(QXchain(&c, bad, &bad->compound, &bad->links,
                    QXCHAIN_ADD | QXCHAIN_ASCENDING | QXCHAIN_COMPOUND_KEY, 0),
            QXCHAIN_FAILED);
  EXPECT_EQ(Order(c).size(), 10u);
  std::free(bad);
  for (Block* b : blocks) std::free(const_cast<QXCHAINKEY*>(b->compound.pNext));
  FreeAll(&c);
}

TEST(Chain, InsertDeleteReplace) {
  QXCHAIN c{};
  Block* first = NewBlock(1);
  Block* second = NewBlock(2);
  Add(&c, first, QXCHAIN_LAST);
  Add(&c, second, QXCHAIN_LAST);
  Block* front = NewBlock(0);
  ASSERT_EQ(QXchain(&c, front, first, &front->links, QXCHAIN_INSERT | QXCHAIN_BEFORE, 0), 0);
  Block* tail = NewBlock(3);
  ASSERT_EQ(QXchain(&c, tail, second, &tail->links, QXCHAIN_INSERT, 0), 0);
  Block* mid = NewBlock(15);
  ASSERT_EQ(QXchain(&c, mid, first, &mid->links, QXCHAIN_INSERT, 0), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{0, 1, 15, 2, 3}));

  ASSERT_EQ(QXchain(&c, mid, nullptr, &mid->links, QXCHAIN_DELETE, 0), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{0, 1, 2, 3}));
  ASSERT_EQ(QXchain(&c, tail, nullptr, &tail->links, QXCHAIN_DELETE | QXCHAIN_FREE, 0), 0);
  EXPECT_EQ(c.pLast, second);

  // REPLACE of the first block: the new one is first, the old one is freed.
  Block* new_first = NewBlock(7);
  ASSERT_EQ(QXchain(&c, new_first, front, &new_first->links, QXCHAIN_REPLACE, 0), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{7, 1, 2}));
  Block* new_last = NewBlock(8);
  ASSERT_EQ(QXchain(&c, new_last, second, &new_last->links, QXCHAIN_REPLACE, 0), 0);
  EXPECT_EQ(Order(c), (std::vector<int>{7, 1, 8}));
  std::free(mid);
  FreeAll(&c);
}

TEST(Chain, FailuresLeaveTheChainAndTalkOnlyWhenAsked) {
  QXCHAIN c{};
  Block* a = NewBlock(1);
  Block* b = NewBlock(2);
  Block* stranger = NewBlock(3);
  Add(&c, a, QXCHAIN_LAST);
  Add(&c, b, QXCHAIN_LAST);
  unsetenv("QX_QXIDEBUG");
  testing::internal::CaptureStdout();
  EXPECT_EQ(QXchain(&c, stranger, nullptr, &stranger->links, QXCHAIN_DELETE, 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  setenv("QX_QXIDEBUG", "1", 1);
  struct Case {
    int rc;
    std::string text;
    std::function<int()> call;
  } cases[] = {
      {1, "\nQXchain_F_NOTFND Invalid linked list location for DELETE\n",
       [&] { return QXchain(&c, stranger, nullptr, &stranger->links, QXCHAIN_DELETE, 0); }},
      {1, "\nQXchain_F_BDUP Block to ADD already in chain\n",
       [&] { return Add(&c, a, QXCHAIN_FIRST); }},  // never linked twice
      {1, "\nQXchain_F_BDUP Block to ADD already in chain\n",
       [&] { return QXchain(&c, a, b, &a->links, QXCHAIN_INSERT, 0); }},
      {1, "\nQXchain_F_NOTFND Invalid linked list location for INSERT\n",
       [&] { return QXchain(&c, stranger, stranger, &stranger->links, QXCHAIN_INSERT, 0); }},
      {1, "\nQXchain_F_BDUP Block to REPLACE already in chain\n",
       [&] { return QXchain(&c, b, a, &b->links, QXCHAIN_REPLACE, 0); }},
      {1, "\nQXchain_F_NOTFND Invalid linked list location for REPLACE\n",
       [&] { return QXchain(&c, stranger, stranger, &stranger->links, QXCHAIN_REPLACE, 0); }},
      {1, "\nQXchain_F_FSEQ Invalid sequence option for ADD\n",
       [&] { return Add(&c, stranger, 0x0300); }},
      {1, "\nQXchain_F_INVLEN Invalid keyfield length\n",
       [&] { return Add(&c, stranger, QXCHAIN_ASCENDING, 0); }},
      {16, "\nQXchain_F_FCALL Invalid function call to QXchain\n",
       [&] { return QXchain(&c, stranger, nullptr, &stranger->links, 0, 0); }},
      {16, "\nQXchain_F_FCALL Invalid function call to QXchain\n",
       [&] { return QXchain_w(&c, stranger, nullptr, &stranger->links, 0x00C00000, 0); }},
      {1, "\nQXchain_F_UNKN Unknown error, Rc= 1, FuncValue= ADD\n",
       [&] { return QXchain(nullptr, stranger, nullptr, &stranger->links, QXCHAIN_ADD, 0); }},
  };
  for (auto& k : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(k.call(), k.rc) << k.text;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), k.text);
    EXPECT_EQ(Order(c), (std::vector<int>{1, 2}));
  }
  unsetenv("QX_QXIDEBUG");
  std::free(stranger);
  FreeAll(&c);
}

}  // namespace
