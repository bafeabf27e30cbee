// Reports <calls> messages from each of <threads> threads through QXmsgf with a
// local line, so a test can check that every line comes out whole.
//   msgf_threads <threads> <calls>
// The catalog is the one DPATH names; the message is facility 357, message 1,
// informational, with the text "-I-LINE, thread %d message %d".
#include <qxcomn.h>

#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int threads = std::atoi(argv[1]);
  int calls = std::atoi(argv[2]);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([t, calls] {
      for (int i = 0; i < calls; ++i)
        QXmsgf(2, __LINE__, __FILE__, QX_MSGID(357, 1, 3), QXMSGF_LOCAL | 2, t, i);
    });
  }
  for (auto& th : pool) th.join();
  return 0;
}
