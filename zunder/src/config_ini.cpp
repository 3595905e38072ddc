// INI profiles with the usual profile rules: names without regard to case,
// the first matching section and key win, and lines that are not sections
// or entries (comments, blanks, junk) stay where they were.
#include <algorithm>

#include "config_documents.h"

namespace zprofile {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void AddUnique(std::vector<std::string>& names, const std::string& name) {
  for (const std::string& known : names) {
    if (SameName(known, name)) return;
  }
  names.push_back(name);
}

}  // namespace

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string OneLine(const std::string& text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  return line;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool SameName(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (Lower(left[i]) != Lower(right[i])) return false;
  }
  return true;
}

IniDocument::IniDocument(const std::string& text) {
  for (const std::string& raw : SplitLines(text)) lines.push_back(Parse(raw));
}

IniDocument::Line IniDocument::Parse(const std::string& raw) {
  Line line;
  line.raw = raw;
  std::string text = Trim(raw);
  if (text.empty() || text[0] == ';' || text[0] == '#') return line;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return line;  // no closing bracket: not a section
    line.kind = Line::Section;
    line.name = Trim(text.substr(1, close - 1));
    return line;
  }
  size_t equals = text.find('=');
  if (equals == std::string::npos) return line;
  line.name = Trim(text.substr(0, equals));
  if (line.name.empty()) return line;
  line.kind = Line::Entry;
  line.value = Trim(text.substr(equals + 1));
  // A value in matching quotes is read without them.
  if (line.value.size() >= 2 && (line.value[0] == '"' || line.value[0] == '\'') && line.value.back() == line.value[0]) {
    line.value = line.value.substr(1, line.value.size() - 2);
  }
  return line;
}

std::string IniDocument::Text() const {
  std::string text;
  for (const Line& line : lines) {
    text += line.raw;
    text += '\n';
  }
  return text;
}

size_t IniDocument::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == Line::Section && SameName(lines[i].name, section)) return i;
  }
  return std::string::npos;
}

size_t IniDocument::SectionEnd(size_t index) const {
  size_t end = index + 1;
  while (end < lines.size() && lines[end].kind != Line::Section) ++end;
  return end;
}

bool IniDocument::GetValue(const std::string& section, const std::string& key, std::string& value) const {
  size_t start = FindSection(section);
  if (start == std::string::npos) return false;
  for (size_t i = start + 1, end = SectionEnd(start); i < end; ++i) {
    if (lines[i].kind == Line::Entry && SameName(lines[i].name, key)) {
      value = lines[i].value;
      return true;
    }
  }
  return false;
}

void IniDocument::SetValue(const std::string& section, const std::string& key, const std::string& value) {
  Line entry = Parse(OneLine(key) + "=" + OneLine(value));
  size_t start = FindSection(section);
  if (start == std::string::npos) {
    if (!lines.empty() && !Trim(lines.back().raw).empty()) lines.push_back(Parse(""));
    std::string header(1, '[');
    header += OneLine(section);
    header += ']';
    lines.push_back(Parse(header));
    lines.push_back(entry);
    return;
  }
  size_t end = SectionEnd(start);
  for (size_t i = start + 1; i < end; ++i) {
    if (lines[i].kind == Line::Entry && SameName(lines[i].name, key)) {
      lines[i] = entry;
      return;
    }
  }
  // New keys go after the last non-blank line of the section, so the blank
  // line before the next section stays where it is.
  size_t after = start + 1;
  for (size_t i = start + 1; i < end; ++i) {
    if (!Trim(lines[i].raw).empty()) after = i + 1;
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after), entry);
}

bool IniDocument::DeleteKey(const std::string& section, const std::string& key) {
  size_t start = FindSection(section);
  if (start == std::string::npos) return false;
  for (size_t i = start + 1, end = SectionEnd(start); i < end; ++i) {
    if (lines[i].kind == Line::Entry && SameName(lines[i].name, key)) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

bool IniDocument::DeleteSection(const std::string& section) {
  bool removed = false;
  for (size_t start = FindSection(section); start != std::string::npos; start = FindSection(section)) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(start),
                lines.begin() + static_cast<std::ptrdiff_t>(SectionEnd(start)));
    removed = true;
  }
  return removed;
}

std::vector<std::string> IniDocument::Sections() const {
  std::vector<std::string> names;
  for (const Line& line : lines) {
    if (line.kind == Line::Section) AddUnique(names, line.name);
  }
  return names;
}

std::vector<std::string> IniDocument::Keys(const std::string& section) const {
  std::vector<std::string> names;
  size_t start = FindSection(section);
  if (start == std::string::npos) return names;
  for (size_t i = start + 1, end = SectionEnd(start); i < end; ++i) {
    if (lines[i].kind == Line::Entry) AddUnique(names, lines[i].name);
  }
  return names;
}

}  // namespace zprofile
