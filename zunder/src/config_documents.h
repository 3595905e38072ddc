// The two text formats behind ZConfig, as in-memory documents that keep
// every line they do not understand: INI profiles (config_ini.cpp) and REGEDIT4
// registry hives (config_hive.cpp). Private to the library. Names are compared
// without regard to ASCII case; input of any shape parses (leniently).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zprofile {

bool SameName(const std::string& left, const std::string& right);
std::string Trim(const std::string& text);
// The lines of a text without their LF (a CR before it stays).
std::vector<std::string> SplitLines(const std::string& text);
// CR and LF turned into blanks, so a written value cannot become two lines.
std::string OneLine(const std::string& text);

// An INI profile: "[section]" lines, "key=value" lines, and everything else
// (comments, blank and unknown lines) kept as it was.
class IniDocument {
 public:
  explicit IniDocument(const std::string& text);
  std::string Text() const;

  // The first matching section, then its first matching key.
  bool GetValue(const std::string& section, const std::string& key, std::string& value) const;
  // Replaces the first matching key, appends it to the first matching
  // section, or adds the section at the end.
  void SetValue(const std::string& section, const std::string& key, const std::string& value);
  bool DeleteKey(const std::string& section, const std::string& key);
  // Removes every section of that name with all its lines.
  bool DeleteSection(const std::string& section);
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(const std::string& section) const;

 private:
  struct Line {
    enum Kind { Other, Section, Entry } kind = Other;
    std::string raw;    // the line as read, without its line end
    std::string name;   // section or key name
    std::string value;  // an entry's value
  };
  static Line Parse(const std::string& raw);
  // Index of the first section line of that name, or npos.
  size_t FindSection(const std::string& section) const;
  // One past the last line that belongs to the section starting at index.
  size_t SectionEnd(size_t index) const;

  std::vector<Line> lines;
};

// A REGEDIT4 hive: "[ROOT\path]" key lines followed by "name"=value lines.
// Key paths are kept relative to the hive's root; values are REG_SZ texts
// or REG_DWORD numbers, anything else is kept as an opaque line.
class HiveDocument {
 public:
  enum ValueType { None, String, DWord, Other };
  struct Value {
    ValueType type = None;
    std::string text;
    uint32_t number = 0;
  };

  HiveDocument(const std::string& text, const std::string& rootName);
  std::string Text() const;

  // A key exists when it or one of its subkeys has a header.
  bool HasKey(const std::string& path) const;
  // Adds headers for the key and any missing ancestors.
  void CreateKey(const std::string& path);
  // Removes the key and all its subkeys; false when there was none.
  bool DeleteKey(const std::string& path);
  Value GetValue(const std::string& path, const std::string& name) const;
  void SetValue(const std::string& path, const std::string& name, const Value& value);
  bool DeleteValue(const std::string& path, const std::string& name);
  // The immediate subkeys of a key, in file order, each name once.
  std::vector<std::string> SubKeys(const std::string& path) const;
  std::vector<std::string> ValueNames(const std::string& path) const;

  // "a\\\\b\\" -> "a\\b": no empty parts.
  static std::string CleanPath(const std::string& path);

 private:
  struct Entry {
    bool parsed = false;  // false: an opaque line kept as it was
    std::string raw;
    std::string name;
    Value value;
  };
  struct Key {
    bool foreign = false;  // a header of another root (or unreadable): kept only
    std::string header;    // the raw header line of a foreign key
    std::string path;
    std::vector<Entry> entries;
  };
  Key* FindKey(const std::string& path);
  const Key* FindKey(const std::string& path) const;
  static Entry ParseEntry(const std::string& raw);
  static std::string FormatEntry(const std::string& name, const Value& value);

  std::string root;
  std::vector<std::string> preamble;  // lines before the first key
  std::vector<Key> keys;
};

}  // namespace zprofile
