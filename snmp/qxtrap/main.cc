// qxtrap: sends one SNMP v1 trap built from its command line.
#include <cstdlib>

#include "trap.h"

int main(int argc, char** argv) {
  std::exit(qx::qxtrap::RunQxtrap(argc, argv));
}
