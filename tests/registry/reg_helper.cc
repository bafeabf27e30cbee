// A small program that works on the registry store from another process, for
// the multi-process tests:
//   reg_helper write ID COUNT    COUNT writes to keys shared with other writers
//   reg_helper crash START HIVE  writes until killed; prints each acknowledged
//                                write's number on stdout; restores HIVE now
//                                and then (a large transaction to be cut)
//   reg_helper notify            for each "set N" line on stdin, sets a value
//                                and prints "T <CLOCK_MONOTONIC ns>" once done
#include <qxplatform/registry.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

namespace {

int Die(const char* what, LSTATUS rc) {
  std::fprintf(stderr, "reg_helper: %s failed with %ld\n", what, long(rc));
  return 1;
}

LSTATUS SetDword(HKEY k, const std::string& name, DWORD v) {
  return RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
}

int Write(int id, int count) {
  for (int i = 0; i < count; ++i) {
    HKEY k = nullptr;
    std::string path = "Software\\Conc\\k" + std::to_string(i % 10);
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) return Die("RegCreateKeyExA", rc);
    if ((rc = SetDword(k, "p" + std::to_string(id) + "_" + std::to_string(i), DWORD(i))) !=
        ERROR_SUCCESS)
      return Die("RegSetValueExA", rc);
    // A value every writer overwrites, and one each writer adds and removes.
    if ((rc = SetDword(k, "shared", DWORD(id * 100000 + i))) != ERROR_SUCCESS)
      return Die("RegSetValueExA shared", rc);
    if (i % 50 == 0) {
      std::string tmp = "tmp" + std::to_string(id);
      if ((rc = SetDword(k, tmp, 1)) != ERROR_SUCCESS) return Die("RegSetValueExA tmp", rc);
      if ((rc = RegDeleteValueA(k, tmp.c_str())) != ERROR_SUCCESS)
        return Die("RegDeleteValueA", rc);
    }
    RegCloseKey(k);
  }
  return 0;
}

int Crash(long start, const char* hive) {
  HKEY tree = nullptr;
  LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash\\Tree", 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &tree, nullptr);
  if (rc != ERROR_SUCCESS) return Die("RegCreateKeyExA tree", rc);
  for (long i = start;; ++i) {
    HKEY k = nullptr;
    std::string path = "Software\\Crash\\k" + std::to_string(i % 20);
    rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                         &k, nullptr);
    if (rc != ERROR_SUCCESS) return Die("RegCreateKeyExA", rc);
    rc = SetDword(k, "v" + std::to_string(i), DWORD(i));
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return Die("RegSetValueExA", rc);
    // Acknowledged: the write is committed.
    std::string ack = std::to_string(i) + "\n";
    if (::write(1, ack.data(), ack.size()) != ssize_t(ack.size())) return 1;
    if (i % 7 == 0 && (rc = RegRestoreKeyA(tree, hive, 0)) != ERROR_SUCCESS)
      return Die("RegRestoreKeyA", rc);
    if (i % 11 == 0 && (rc = RegDeleteTreeA(tree, nullptr)) != ERROR_SUCCESS)
      return Die("RegDeleteTreeA", rc);
  }
}

int Notify() {
  HKEY k = nullptr;
  LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Notify", 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc != ERROR_SUCCESS) return Die("RegCreateKeyExA", rc);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("set ", 0) != 0) return Die("unknown command", 0);
    if ((rc = SetDword(k, "n", DWORD(std::stoul(line.substr(4))))) != ERROR_SUCCESS)
      return Die("RegSetValueExA", rc);
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("T %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
    std::fflush(stdout);
  }
  RegCloseKey(k);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 4) return Write(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "crash" && argc == 4) return Crash(std::atol(argv[2]), argv[3]);
  if (mode == "notify" && argc == 2) return Notify();
  std::fprintf(stderr, "usage: reg_helper write ID COUNT | crash START HIVE | notify\n");
  return 2;
}
