// The settings file as the user (or a crash, or another program) may leave
// it: any bytes must load, read with defaults, and take a write that changes
// the written key only, every other line kept byte for byte.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/inifile.h"
#include "platform/errors.h"

namespace {

const char* const kSections[] = {"ACCOUNT", "ACCOUNT1", "AUDIO", "Options", ""};
const char* const kKeys[] = {"Server", "User", "Password", "Count", "Input", "Output", "Stun", ""};

std::string Path() {
  // tmpfs when there is one: every write is synced to disk.
  static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/qv-fuzz-ini-" + std::to_string(getpid()) + ".ini";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  qv::TIniFile ini(Path());
  for (const char* section : kSections) {
    (void)ini.SectionExists(section);
    for (const char* key : kKeys) {
      (void)ini.ReadString(section, key, "fallback");
      (void)ini.ReadInteger(section, key, 7);
    }
  }
  std::string before = ini.Text();
  try {
    ini.WriteString("ACCOUNT", "Server", "pbx.example.org");
  } catch (...) {
    return 0;  // an unwritable file is reported, not a crash
  }
  if (ini.ReadString("ACCOUNT", "Server", "") != "pbx.example.org") {
    std::fprintf(stderr, "the written value does not read back\n");
    std::abort();
  }
  // Reading the file again gives the same text the object holds.
  if (qv::TIniFile(Path()).Text() != ini.Text()) std::abort();
  // Every line but the written key's is still there, in order.
  std::string after = ini.Text();
  size_t from = 0, at = 0;
  while (from < before.size()) {
    size_t end = before.find('\n', from);
    std::string line = before.substr(from, end == std::string::npos ? std::string::npos : end - from + 1);
    from = end == std::string::npos ? before.size() : end + 1;
    std::string lower = line;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("server") != std::string::npos || line.find('\n') == std::string::npos)
      continue;  // the written key (in any case), or a last line that gained a terminator
    size_t found = after.find(line, at);
    if (found == std::string::npos) {
      std::fprintf(stderr, "a line was lost: %s\n", line.c_str());
      std::abort();
    }
    at = found + line.size();
  }
  return 0;
}
