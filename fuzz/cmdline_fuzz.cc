// Command lines split by the Windows rules: any input splits without fault, and
// every argument quoted again splits back to itself.
#include <qxplatform/process.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  auto args = qx::platform::SplitCommandLine(line);
  if (args.size() < 2) return 0;
  std::string again = "p";
  for (size_t i = 1; i < args.size(); ++i) {
    // A NUL cannot travel in a command line; the splitter keeps it as a byte.
    again += " " + qx::platform::QuoteArgument(args[i]);
  }
  auto back = qx::platform::SplitCommandLine(again);
  if (back.size() != args.size()) std::abort();
  for (size_t i = 1; i < args.size(); ++i)
    if (back[i] != args[i]) std::abort();
  return 0;
}
