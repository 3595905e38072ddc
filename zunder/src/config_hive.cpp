// Registry hives in the REGEDIT4 text format:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\Acme\Gate\CurrentVersion\Globals]
//   "Port"="1082"
//   "Log Level"=dword:00000003
//
// Texts escape "\" and the double quote with a backslash. Values of other
// types (hex:..., @=...) and lines that do not parse are kept as they are.
#include <cstdio>

#include "config_documents.h"

namespace zprofile {

namespace {

bool StartsWithName(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

// Reads a quoted text starting at text[at] == '"'; at ends behind the
// closing quote. A backslash takes the next character as it is (so bad
// escapes such as \q read as q). False when the closing quote is missing.
bool ReadQuoted(const std::string& text, size_t& at, std::string& result) {
  result.clear();
  for (size_t i = at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      result += text[++i];
    } else if (c == '"') {
      at = i + 1;
      return true;
    } else {
      result += c;
    }
  }
  return false;
}

std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : OneLine(text)) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// Whether path lies at or below ancestor ("" is the root, above all).
bool IsWithin(const std::string& path, const std::string& ancestor) {
  if (ancestor.empty()) return true;
  if (SameName(path, ancestor)) return true;
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' && StartsWithName(path, ancestor);
}

}  // namespace

std::string HiveDocument::CleanPath(const std::string& path) {
  std::string clean;
  for (char c : OneLine(path)) {
    if (c == '\\' && (clean.empty() || clean.back() == '\\')) continue;
    clean += c;
  }
  while (!clean.empty() && clean.back() == '\\') clean.pop_back();
  return clean;
}

HiveDocument::HiveDocument(const std::string& text, const std::string& rootName) : root(rootName) {
  bool signatureSeen = false;
  for (const std::string& raw : SplitLines(text)) {
    std::string line = Trim(raw);
    if (line.empty()) continue;  // blank lines are made afresh on writing
    if (!signatureSeen && keys.empty() && preamble.empty() && line == "REGEDIT4") {
      signatureSeen = true;
      continue;
    }
    if (line[0] == '[' && line.back() == ']') {
      std::string inner = line.substr(1, line.size() - 2);
      Key key;
      if (StartsWithName(inner, root) && (inner.size() == root.size() || inner[root.size()] == '\\')) {
        key.path = CleanPath(inner.substr(root.size()));
      } else {
        key.foreign = true;
        key.header = raw;
      }
      keys.push_back(key);
      continue;
    }
    if (keys.empty()) {
      preamble.push_back(raw);
    } else {
      keys.back().entries.push_back(ParseEntry(raw));
    }
  }
}

HiveDocument::Entry HiveDocument::ParseEntry(const std::string& raw) {
  Entry entry;
  entry.raw = raw;
  std::string line = Trim(raw);
  size_t at = 0;
  if (line.empty() || line[0] != '"') return entry;
  std::string name;
  if (!ReadQuoted(line, at, name)) return entry;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  if (at >= line.size() || line[at] != '=') return entry;
  ++at;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::string data = line.substr(at);
  entry.name = name;
  entry.parsed = true;
  if (!data.empty() && data[0] == '"') {
    size_t position = 0;
    if (ReadQuoted(data, position, entry.value.text)) {
      entry.value.type = String;
      return entry;
    }
    entry.parsed = false;  // an unterminated text: keep the line, no value
    entry.name.clear();
    return entry;
  }
  if (StartsWithName(data, "dword:")) {
    std::string digits = Trim(data.substr(6));
    bool valid = !digits.empty() && digits.size() <= 8 &&
                 digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (valid) {
      entry.value.type = DWord;
      entry.value.number = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
      return entry;
    }
  }
  entry.value.type = Other;  // hex:..., a bad dword: named, but no text or number
  return entry;
}

std::string HiveDocument::FormatEntry(const std::string& name, const Value& value) {
  if (value.type == DWord) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value.number));
    return Quote(name) + "=dword:" + digits;
  }
  return Quote(name) + "=" + Quote(value.text);
}

std::string HiveDocument::Text() const {
  std::string text = "REGEDIT4\n\n";
  for (const std::string& line : preamble) text += line + "\n";
  if (!preamble.empty()) text += "\n";
  for (const Key& key : keys) {
    text += key.foreign ? key.header : "[" + root + (key.path.empty() ? "" : "\\" + key.path) + "]";
    text += "\n";
    for (const Entry& entry : key.entries) {
      bool known = entry.parsed && (entry.value.type == String || entry.value.type == DWord);
      text += known ? FormatEntry(entry.name, entry.value) : entry.raw;
      text += "\n";
    }
    text += "\n";
  }
  return text;
}

HiveDocument::Key* HiveDocument::FindKey(const std::string& path) {
  std::string clean = CleanPath(path);
  for (Key& key : keys) {
    if (!key.foreign && SameName(key.path, clean)) return &key;
  }
  return nullptr;
}

const HiveDocument::Key* HiveDocument::FindKey(const std::string& path) const {
  return const_cast<HiveDocument*>(this)->FindKey(path);
}

bool HiveDocument::HasKey(const std::string& path) const {
  std::string clean = CleanPath(path);
  for (const Key& key : keys) {
    if (!key.foreign && IsWithin(key.path, clean)) return true;
  }
  return false;
}

void HiveDocument::CreateKey(const std::string& path) {
  std::string clean = CleanPath(path);
  if (clean.empty()) return;
  // Each ancestor gets its own header, as a registry export has them.
  size_t end = 0;
  do {
    end = clean.find('\\', end + 1);
    std::string part = clean.substr(0, end);
    if (FindKey(part) == nullptr) {
      Key key;
      key.path = part;
      keys.push_back(key);
    }
  } while (end != std::string::npos);
}

bool HiveDocument::DeleteKey(const std::string& path) {
  std::string clean = CleanPath(path);
  if (clean.empty()) return false;  // the root itself is never deleted
  size_t before = keys.size();
  std::erase_if(keys, [&](const Key& key) { return !key.foreign && IsWithin(key.path, clean); });
  return keys.size() != before;
}

HiveDocument::Value HiveDocument::GetValue(const std::string& path, const std::string& name) const {
  const Key* key = FindKey(path);
  if (key != nullptr) {
    for (const Entry& entry : key->entries) {
      if (entry.parsed && SameName(entry.name, name)) return entry.value;
    }
  }
  return Value();
}

void HiveDocument::SetValue(const std::string& path, const std::string& name, const Value& value) {
  CreateKey(path);
  Key* key = FindKey(path);
  if (key == nullptr) return;  // the root holds no values here
  Entry entry;
  entry.parsed = true;
  entry.name = OneLine(name);
  entry.value = value;
  entry.value.text = OneLine(value.text);
  for (Entry& existing : key->entries) {
    if (existing.parsed && SameName(existing.name, name)) {
      existing = entry;
      return;
    }
  }
  key->entries.push_back(entry);
}

bool HiveDocument::DeleteValue(const std::string& path, const std::string& name) {
  Key* key = FindKey(path);
  if (key == nullptr) return false;
  for (auto entry = key->entries.begin(); entry != key->entries.end(); ++entry) {
    if (entry->parsed && SameName(entry->name, name)) {
      key->entries.erase(entry);
      return true;
    }
  }
  return false;
}

std::vector<std::string> HiveDocument::SubKeys(const std::string& path) const {
  std::string clean = CleanPath(path);
  std::vector<std::string> names;
  for (const Key& key : keys) {
    if (key.foreign || !IsWithin(key.path, clean) || SameName(key.path, clean)) continue;
    std::string rest = key.path.substr(clean.empty() ? 0 : clean.size() + 1);
    std::string name = rest.substr(0, rest.find('\\'));
    bool known = false;
    for (const std::string& seen : names) known = known || SameName(seen, name);
    if (!known && !name.empty()) names.push_back(name);
  }
  return names;
}

std::vector<std::string> HiveDocument::ValueNames(const std::string& path) const {
  std::vector<std::string> names;
  const Key* key = FindKey(path);
  if (key == nullptr) return names;
  for (const Entry& entry : key->entries) {
    if (entry.parsed) names.push_back(entry.name);
  }
  return names;
}

}  // namespace zprofile
