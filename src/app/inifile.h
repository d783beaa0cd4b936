// The settings file and small helpers of the application.
//
// TIniFile reads and writes an INI file the way the original platform's
// private-profile functions did: sections in brackets, "key=value" lines,
// section and key names matched without regard to case, the first section and
// the first key of a name win, values trimmed of surrounding blanks and of one
// pair of enclosing quotes, missing keys read as the caller's default. Every
// write goes to disk at once, and atomically: the new text is written beside
// the file and renamed over it, so a crash mid-write leaves the old file or
// the new one, never half of one. Lines the reader does not understand
// (comments, garbage) are kept byte for byte.
//
// No Qt here. Threads: one object, one thread (the GUI thread).
#pragma once

#include <string>
#include <vector>

namespace qv {

class TIniFile {
public:
  // Reads the file (a missing or unreadable file reads as empty).
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& fallback) const;
  // Decimal (or "0x" hexadecimal) text; anything else gives `fallback`.
  int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
  bool SectionExists(const std::string& section) const;

  // Raise qv::Exception naming the file when it cannot be written; the file
  // on disk is then unchanged.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void EraseSection(const std::string& section);

  // The file's text as it would be written now.
  std::string Text() const;

  // Between BeginUpdate and Commit the writes stay in memory and Commit puts
  // them on disk in one atomic step: a rewrite of several sections is then
  // all or nothing. A batch that is not committed is dropped.
  void BeginUpdate();
  void Commit();

private:
  // Index of the header line of the first section of that name; -1 when none.
  int FindSection(const std::string& section) const;
  // Index of the key's line inside the section starting at `header`; -1 when none.
  int FindKey(int header, const std::string& key) const;
  int SectionEnd(int header) const;  // index of the next header, or lines_.size()
  void Save();
  void Insert(size_t at, const std::string& line);
  void Changed(std::vector<std::string> beforeLines, std::vector<std::string> beforeEnds);

  std::string fileName_;
  // Each line without its terminator, and the terminator as it was read
  // (the last line may have none), so lines we do not touch stay byte-exact.
  std::vector<std::string> lines_;
  std::vector<std::string> ends_;
  std::string eol_ = "\n";  // for new lines: the file's own style
  bool batch_ = false;
};

// Where trelvani.ini lives: beside the executable when that directory is
// writable, otherwise $XDG_CONFIG_HOME/quorvelle/ (~/.config/quorvelle/),
// which is created when missing.
std::string SettingsFilePath();

bool SameText(const std::string& a, const std::string& b);  // ASCII, case-insensitive

}  // namespace qv
