// A stand-in for the optional start-up library: marks that it was called.
#include <cstring>

extern "C" __attribute__((visibility("default"))) void QXStartGlobalPrologueDLL(void* a, void* b,
                                                                                void* c) {
  std::strcpy(static_cast<char*>(a), "prologue ran");
  (void)b;
  (void)c;
}
