// Looks one message up in a process of its own, so that a test can start the
// catalog in a process set up as it likes (one that cannot load libqxenv, say).
//   msg_lookup <message identifier>
// Prints qximsgv's text (mode 2, no values) on one line, then QXmsgf's text
// (no values, nothing printed locally; its final newline dropped) on the next.
#include <qxcomn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QXMSGDESC desc{};
  desc.dwMsgId = DWORD(std::strtoul(argv[1], nullptr, 0));
  qximsgv(nullptr, 0, &desc, nullptr, QX_MSGMODE_LONG);
  std::printf("%s\n", desc.szText);
  std::string text = QXmsgf(2, 7, "lookup.c", desc.dwMsgId, 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  std::printf("%s\n", text.c_str());
  return 0;
}
