// Opens libqxcomn after start-up, the way a plug-in host or an interpreter does,
// and looks one message up through it.
//   msg_dlopen <library file> <message identifier>
// Prints qximsgv's text on one line; exit status 1 with the loader's error when
// the library cannot be opened.
#include <dlfcn.h>
#include <qxcomn.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::printf("%s\n", dlerror());
    return 1;
  }
  auto lookup = reinterpret_cast<decltype(&qximsgv)>(dlsym(lib, "qximsgv"));
  if (lookup == nullptr) return 1;
  QXMSGDESC desc{};
  desc.dwMsgId = DWORD(std::strtoul(argv[2], nullptr, 0));
  lookup(nullptr, 0, &desc, nullptr, QX_MSGMODE_LONG);
  std::printf("%s\n", desc.szText);
  return 0;
}
