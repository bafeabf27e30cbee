// Runs one zelapi01 scenario named by argv[1] and prints what it saw.
#include <stdio.h>
#include <string.h>
#include <zelapi01.h>

#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string what = argv[1];
  if (what == "testrace") {
    printf("%d\n", TesTrace("HELPER", "text %d", 42));
    printf("%d\n", SetTraceStringA("HELPER", "text %d", 43));
    return 0;
  }
  if (what == "messages") {
    // The library finds its English texts beside itself, with no search path.
    printf("%s\n", SetAndGetMsgString(nullptr, 2, "Entry", "LIB.DLL"));
    printf("%s\n", SetAndGetLastErrorMsgEx(2));
    return 0;
  }
  if (what == "diagnostic") {
    PushMsgStack();
    SetMsgString(nullptr, 6, "Op");
    PopMsgStack();
    ClearMsgStack();
    return 0;
  }
  if (what == "threads") {
    // Threads that end with areas on their stacks: their chains are freed.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) {
          SetMsgString(nullptr, 13, "/x");
          PushMsgStack();
        }
      });
    for (auto& th : threads) th.join();
    printf("done\n");
    return 0;
  }
  return 2;
}
