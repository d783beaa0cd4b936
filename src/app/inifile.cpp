#include "app/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/errors.h"
#include "platform/textutil.h"

namespace qv {

namespace {

std::string TrimBlanks(std::string_view text) { return Trim(text, IsBlank); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool IsHeader(const std::string& line, std::string* name = nullptr) {
  std::string t = TrimBlanks(line);
  if (t.empty() || t[0] != '[') return false;
  if (name) {
    size_t close = t.find(']');
    *name = TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  }
  return true;
}

// "key = value" -> key and raw value; false for lines without '='.
bool SplitKey(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = TrimBlanks(line.substr(0, eq));
  value = line.substr(eq + 1);
  return true;
}

bool Quoted(const std::string& v) {
  return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
}

// The reader trims blanks and drops one pair of enclosing quotes; a value
// that would lose either is stored in quotes, so it reads back exactly.
std::string StoredValue(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';  // a line break would split the entry
  if (value != TrimBlanks(value) || Quoted(value)) return "\"" + value + "\"";
  return value;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void MakeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
  }
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) { return SameTextIgnoringCase(a, b); }

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
  std::ifstream in(fileName_, std::ios::binary);
  if (!in) return;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.find("\r\n") != std::string::npos) eol_ = "\r\n";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line, ending;
    if (end == std::string::npos) {
      line = text.substr(start);
      start = text.size();
    } else {
      line = text.substr(start, end - start);
      ending = "\n";
      start = end + 1;
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      ending.insert(0, "\r");
    }
    lines_.push_back(std::move(line));
    ends_.push_back(std::move(ending));
  }
}

void TIniFile::Insert(size_t at, const std::string& line) {
  // The line before the new one needs a terminator if it was the last.
  if (at > 0 && ends_[at - 1].empty()) ends_[at - 1] = eol_;
  lines_.insert(lines_.begin() + long(at), line);
  ends_.insert(ends_.begin() + long(at), eol_);
}

void TIniFile::Changed(std::vector<std::string> beforeLines, std::vector<std::string> beforeEnds) {
  if (batch_) return;
  try {
    Save();
  } catch (...) {
    lines_ = std::move(beforeLines);
    ends_ = std::move(beforeEnds);
    throw;
  }
}

void TIniFile::BeginUpdate() { batch_ = true; }

void TIniFile::Commit() {
  batch_ = false;
  Save();
}

int TIniFile::FindSection(const std::string& section) const {
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (IsHeader(lines_[i], &name) && SameText(name, TrimBlanks(section))) return int(i);
  return -1;
}

int TIniFile::SectionEnd(int header) const {
  size_t i = size_t(header) + 1;
  while (i < lines_.size() && !IsHeader(lines_[i])) ++i;
  return int(i);
}

int TIniFile::FindKey(int header, const std::string& key) const {
  std::string k, v;
  int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i)
    if (SplitKey(lines_[size_t(i)], k, v) && SameText(k, TrimBlanks(key))) return i;
  return -1;
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(section) >= 0; }

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& fallback) const {
  int header = FindSection(section);
  if (header < 0) return fallback;
  int line = FindKey(header, key);
  if (line < 0) return fallback;
  std::string k, v;
  SplitKey(lines_[size_t(line)], k, v);
  v = TrimBlanks(v);
  if (Quoted(v)) v = v.substr(1, v.size() - 2);
  return v;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const {
  std::string text = TrimBlanks(ReadString(section, key, ""));
  if (text.size() <= 2 || text[0] != '0' || Lower(text[1]) != 'x') return ToIntDef(text, fallback);
  // "0x..." as the system's own INI reader takes it: 32 bits, sign from the top bit.
  uint64_t value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    char c = Lower(text[i]);
    int digit = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
    if (digit < 0) return fallback;
    value = value * 16 + uint64_t(digit);
    if (value > 0xFFFFFFFFULL) return fallback;
  }
  return int(uint32_t(value));
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  std::vector<std::string> beforeLines = lines_, beforeEnds = ends_;
  std::string entry = TrimBlanks(key) + "=" + StoredValue(value);
  int header = FindSection(section);
  if (header < 0) {
    Insert(lines_.size(), "[" + TrimBlanks(section) + "]");
    Insert(lines_.size(), entry);
  } else if (int line = FindKey(header, key); line >= 0) {
    std::string k, v;
    SplitKey(lines_[size_t(line)], k, v);
    lines_[size_t(line)] = k + "=" + StoredValue(value);  // the name keeps its spelling
  } else {
    // After the section's last non-blank line, so blank separators stay put.
    int at = SectionEnd(header);
    while (at > header + 1 && TrimBlanks(lines_[size_t(at - 1)]).empty()) --at;
    Insert(size_t(at), entry);
  }
  Changed(std::move(beforeLines), std::move(beforeEnds));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::EraseSection(const std::string& section) {
  std::vector<std::string> beforeLines = lines_, beforeEnds = ends_;
  bool erased = false;
  // Every copy goes: a duplicate left behind would surface as the section.
  for (int header = FindSection(section); header >= 0; header = FindSection(section)) {
    int end = SectionEnd(header);
    lines_.erase(lines_.begin() + header, lines_.begin() + end);
    ends_.erase(ends_.begin() + header, ends_.begin() + end);
    erased = true;
  }
  if (erased) Changed(std::move(beforeLines), std::move(beforeEnds));
}

std::string TIniFile::Text() const {
  std::string text;
  for (size_t i = 0; i < lines_.size(); ++i) text += lines_[i] + ends_[i];
  return text;
}

void TIniFile::Save() {
  // Write through a symbolic link to the file it names, not over the link.
  std::string target = fileName_;
  if (char* real = realpath(fileName_.c_str(), nullptr)) {
    target = real;
    free(real);
  }
  auto fail = [&](const std::string& what, int error) {
    throw Exception("Cannot write " + fileName_ + ": " + what + ": " + std::strerror(error));
  };
  std::string temp = target + ".XXXXXX";
  int fd = mkstemp(temp.data());  // created 0600: the file holds passwords
  if (fd < 0) fail("create", errno);
  struct stat st{};
  if (stat(target.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
  std::string text = Text();
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno ? errno : EIO;
      close(fd);
      unlink(temp.c_str());
      fail("write", error);
    }
    done += size_t(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int error = errno;
    unlink(temp.c_str());
    fail("write", error);
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    int error = errno;
    unlink(temp.c_str());
    fail("rename", error);
  }
  int dir = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
}

std::string SettingsFilePath() {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = 0;
    std::string dir = DirectoryOf(exe);
    if (access(dir.c_str(), W_OK) == 0) return dir + "/trelvani.ini";
  }
  std::string base;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    base = "/tmp";
  }
  std::string dir = base + "/quorvelle";
  MakeDirectories(dir);
  return dir + "/trelvani.ini";
}

}  // namespace qv
