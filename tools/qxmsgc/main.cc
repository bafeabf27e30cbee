// qxmsgc: compiles message source files into compiled message files.
//
//   qxmsgc -d <folder> <source>...   one file per catalog: FAC001.dat for the
//                                    facilities 1-99, FAC<n>.dat for the others
//   qxmsgc -o <file> <source>...     every facility into one file
//
// Exit status 0 when every file was written, 1 on any error (nothing is written
// then), 2 on a usage error. Files are replaced by renaming a complete new file
// over the old one, so a process that has the old file mapped keeps reading it.
#include <fcntl.h>
#include <qxcomn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "msg_layout.h"
#include "msg_source.h"

namespace {

using qx::msgc::Diagnostic;
using qx::msgc::SourceFacility;

// Message-tool error indexes (QX_msg_error).
constexpr int kFileNotFound = 2;
constexpr int kWriteError = 6;
constexpr int kReadError = 11;

void Print(const Diagnostic& d) {
  std::string text;
  if (d.index >= 0) {
    QXMSGDESC desc{};
    QX_msg_error(&desc, d.index, d.value.c_str());
    text = desc.szText;
  } else {
    text = "%QXIMSGV_F_0013 " + d.text + "\n";
  }
  if (!d.file.empty()) {
    std::fprintf(stderr, "qxmsgc: %s:%d: %s", d.file.c_str(), d.line, text.c_str());
  } else {
    std::fprintf(stderr, "qxmsgc: %s", text.c_str());
  }
}

void ToolError(int index, const std::string& value) {
  Print(Diagnostic{index, value, {}, {}, 0, true});
}

bool ReadSource(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ToolError(kFileNotFound, path);
    return false;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) {
    ToolError(kReadError, path);
    return false;
  }
  *text = buf.str();
  return true;
}

// Writes a file whole, then renames it into place.
bool WriteFile(const std::string& path, const std::string& bytes) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ToolError(kWriteError, path);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == bytes.size() && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    ToolError(kWriteError, path);
    return false;
  }
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qxmsgc -d <folder> <source>...\n"
               "       qxmsgc -o <file> <source>...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::string mode = argv[1];
  std::string target = argv[2];
  if (mode != "-d" && mode != "-o") return Usage();

  std::vector<SourceFacility> facilities;
  bool ok = true;
  for (int i = 3; i < argc; ++i) {
    std::string text;
    if (!ReadSource(argv[i], &text)) {
      ok = false;
      continue;
    }
    std::vector<Diagnostic> diags;
    if (!qx::msgc::ParseSource(text, argv[i], &facilities, &diags)) ok = false;
    for (const Diagnostic& d : diags) Print(d);
  }
  if (!ok) return 1;

  // The files to write, each with its facilities in source order.
  std::map<std::string, std::vector<SourceFacility>> files;
  for (SourceFacility& f : facilities) {
    if (mode == "-o") {
      files[target].push_back(std::move(f));
      continue;
    }
    std::string base = qx::msgc::BaseNameFor(f.number);
    if (base.empty()) {
      ToolError(8, f.name + " " + std::to_string(f.number));
      return 1;
    }
    files[target + "/" + base + ".dat"].push_back(std::move(f));
  }
  if (files.empty()) {
    std::fprintf(stderr, "qxmsgc: no facility in the sources\n");
    return 1;
  }
  for (const auto& [path, list] : files) {
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dat") == 0)
      base.resize(base.size() - 4);
    if (!WriteFile(path, qx::msgc::BuildCatalog(list, base))) return 1;
  }
  return 0;
}
