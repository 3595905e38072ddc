// ZConfig: the settings store over the environment, INI profiles and the
// registry hives. Each operation reads (and for changes rewrites) the files
// it needs, so the object itself holds only names.
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "config_documents.h"
#include "host_file.h"
#include "zunder/config.h"
#include "zunder/files.h"

namespace {

constexpr const char* kDefaultSection = "Options";
constexpr const char* kCurrentUser = "HKEY_CURRENT_USER";
constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
// The profile functions hand back at most this many characters of a value.
constexpr size_t kProfileValueLimit = 999;
// Registry texts read as numbers go through a buffer of this size.
constexpr size_t kNumberBufferSize = 20;

std::mutex& IdentityMutex() {
  static std::mutex mutex;
  return mutex;
}

ZConfigIdentity& StoredIdentity() {
  static ZConfigIdentity identity = [] {
    ZConfigIdentity initial;
    std::string executable;
    if (zhost::ExecutablePath(executable)) initial.executablePath = executable.c_str();
    return initial;
  }();
  return identity;
}

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

ZStringList ToList(const std::vector<std::string>& names) {
  ZStringList list;
  for (const std::string& name : names) list.Append(name.c_str());
  return list;
}

// One registry hive read from disk.
struct Hive {
  bool localMachine = false;
  zprofile::HiveDocument document{std::string(), std::string()};
};

const char* RootName(bool localMachine) { return localMachine ? kLocalMachine : kCurrentUser; }

Hive ReadHive(bool localMachine) {
  std::string content;
  bool exists = false;
  int error = 0;
  std::string path = zhost::RegistryHivePath(localMachine);
  if (!zhost::ReadSettingsFile(path.c_str(), content, exists, error)) content.clear();
  return Hive{localMachine, zprofile::HiveDocument(content, RootName(localMachine))};
}

// Where a registry key was found: the hive and the path inside it.
struct KeyPlace {
  bool localMachine = false;
  std::string path;
};

// The lookup order of a key path: with "CurrentVersion" replaced by the
// version text (when there is one), then as it is; each under
// HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE. Answers the first that
// exists, with its hive in found.
bool FindKey(const std::string& keyPath, KeyPlace& place, Hive* found = nullptr) {
  std::vector<std::string> candidates;
  ZString version = ZConfig::GetIdentity().versionText;
  size_t marker = keyPath.find("CurrentVersion");
  if (!version.IsEmpty() && marker != std::string::npos) {
    std::string versioned = keyPath;
    versioned.replace(marker, std::string("CurrentVersion").size(), version.Text());
    candidates.push_back(versioned);
  }
  candidates.push_back(keyPath);
  Hive hives[2] = {ReadHive(false), ReadHive(true)};
  for (const std::string& candidate : candidates) {
    for (Hive& hive : hives) {
      if (hive.document.HasKey(candidate)) {
        place.localMachine = hive.localMachine;
        place.path = zprofile::HiveDocument::CleanPath(candidate);
        if (found != nullptr) *found = std::move(hive);
        return true;
      }
    }
  }
  return false;
}

// Applies change to one hive under its file lock; change answers whether
// it changed anything (nothing is written otherwise).
bool UpdateHive(bool localMachine, const std::function<bool(zprofile::HiveDocument& document)>& change) {
  std::string path = zhost::RegistryHivePath(localMachine);
  int error = 0;
  return zhost::UpdateSettingsFile(
      path.c_str(), true,
      [&](std::string& content) {
        zprofile::HiveDocument document(content, RootName(localMachine));
        if (!change(document)) return false;
        content = document.Text();
        return true;
      },
      error);
}

}  // namespace

// A registry value as the accessors exchange it.
struct ZConfig::RegistryValue : zprofile::HiveDocument::Value {};

// ---------------------------------------------------------------- identity

void ZConfig::SetIdentity(const ZConfigIdentity& identity) {
  std::lock_guard<std::mutex> lock(IdentityMutex());
  StoredIdentity() = identity;
}

ZConfigIdentity ZConfig::GetIdentity() {
  std::lock_guard<std::mutex> lock(IdentityMutex());
  return StoredIdentity();
}

// ---------------------------------------------------------------- construction

ZConfig::ZConfig(Source kind) : defaultSection(kDefaultSection), source(kind) { Resolve(); }

ZConfig::ZConfig(const char* section, Source kind)
    : defaultSection(section == nullptr ? kDefaultSection : section), source(kind) {
  Resolve();
}

ZConfig::ZConfig(const char* section, Source kind, const char* where)
    : defaultSection(section == nullptr ? kDefaultSection : section), source(kind), location(where) {
  if (kind == System) this->source = File;
  if (this->source == Application && !location.IsEmpty() && location[location.GetLength() - 1] != '\\') {
    location += "\\";
  }
  if (location.IsEmpty()) Resolve();
}

void ZConfig::Resolve() {
  if (source == System) {
    source = File;
    location = zhost::SystemProfilePath().c_str();
    return;
  }
  if (source != Application) return;
  ZConfigIdentity identity = GetIdentity();
  if (!identity.executablePath.IsEmpty()) {
    ZFilePath executable(identity.executablePath);
    ZString profile = executable.GetPath() + executable.GetTitle() + ".INI";
    if (zhost::FileExists(profile.Text())) {
      source = File;
      location = profile;
      return;
    }
  }
  ZString manufacturer = identity.manufacturer.IsEmpty() ? ZString("Zunder") : identity.manufacturer;
  location = ZString("SOFTWARE\\") + manufacturer + "\\" + identity.product + "\\CurrentVersion\\";
}

// ---------------------------------------------------------------- checks

bool ZConfig::IsStorableKey(const char* key) {
  if (key == nullptr || *key == '\0') return false;
  if (*key == '[' || *key == ';' || *key == '#') return false;
  const size_t length = std::strlen(key);
  // INI files trim names; REGEDIT4 texts would keep the blanks.
  if (key[0] == ' ' || key[length - 1] == ' ') return false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(key[i]);
    if (c < 0x20 || c == 0x7f || c == '=') return false;
  }
  return true;
}

bool ZConfig::RequireKey(const char* key) const {
  if (key != nullptr && *key != '\0') return true;
  Z_ASSERT_CODE(ZAssertInvalidParameter);
  return false;
}

bool ZConfig::RequireSection(const char* section) const {
  if (section != nullptr && *section != '\0') return true;
  Z_ASSERT_CODE(ZAssertInvalidParameter);
  return false;
}

bool ZConfig::RequireEnvironmentKey(const char* key) const {
  if (!RequireKey(key)) return false;
  if (std::strchr(key, '=') == nullptr) return true;
  Z_ASSERT_CODE(ZAssertInvalidParameter);
  return false;
}

// ---------------------------------------------------------------- backends

bool ZConfig::ReadRegistry(const char* section, const char* key, RegistryValue& value) const {
  KeyPlace place;
  Hive hive;
  if (!FindKey(Text(location) + Text(section), place, &hive)) return false;
  static_cast<zprofile::HiveDocument::Value&>(value) = hive.document.GetValue(place.path, key);
  return value.type != zprofile::HiveDocument::None;
}

void ZConfig::WriteRegistry(const char* section, const char* key, const RegistryValue& value) {
  KeyPlace place;
  if (!FindKey(Text(location) + Text(section), place)) {
    // Nothing there yet: a service writes for the machine, anyone else for
    // the user.
    place.localMachine = GetIdentity().isService;
    place.path = zprofile::HiveDocument::CleanPath(Text(location) + Text(section));
  }
  // Failures leave the registry as it was; callers are not told.
  UpdateHive(place.localMachine, [&](zprofile::HiveDocument& document) {
    document.SetValue(place.path, key, value);
    return true;
  });
}

bool ZConfig::ReadProfile(const char* section, const char* key, ZString& value) const {
  std::string content;
  bool exists = false;
  int error = 0;
  if (!zhost::ReadSettingsFile(location.Text(), content, exists, error) || !exists) return false;
  std::string found;
  if (!zprofile::IniDocument(content).GetValue(section, key, found)) return false;
  if (found.size() > kProfileValueLimit) found.resize(kProfileValueLimit);
  value = found.c_str();
  return true;
}

// value null deletes the key; a null key deletes the section.
void ZConfig::WriteProfile(const char* section, const char* key, const char* value) {
  int error = 0;
  bool written = zhost::UpdateSettingsFile(
      location.Text(), false,
      [&](std::string& content) {
        zprofile::IniDocument document(content);
        if (key == nullptr) {
          if (!document.DeleteSection(section)) return false;
        } else if (value == nullptr) {
          if (!document.DeleteKey(section, key)) return false;
        } else {
          document.SetValue(section, key, value);
        }
        content = document.Text();
        return true;
      },
      error);
  if (!written) Z_ASSERT_CODE(ZAssertOSError);
}

// ---------------------------------------------------------------- sections and keys

ZStringList ZConfig::GetSections() const {
  if (source == Environment) return ZStringList();
  if (source == Application) {
    KeyPlace place;
    Hive hive;
    if (!FindKey(Text(location), place, &hive)) return ZStringList();
    return ToList(hive.document.SubKeys(place.path));
  }
  std::string content;
  bool exists = false;
  int error = 0;
  if (!zhost::ReadSettingsFile(location.Text(), content, exists, error)) return ZStringList();
  return ToList(zprofile::IniDocument(content).Sections());
}

ZStringList ZConfig::GetKeys(const char* section) const {
  if (source == Environment) {
    ZStringList keys;
    for (const std::string& entry : zhost::EnvironmentEntries()) {
      keys.Append(entry.substr(0, entry.find('=')).c_str());
    }
    return keys;
  }
  if (!RequireSection(section)) return ZStringList();
  if (source == Application) {
    KeyPlace place;
    Hive hive;
    if (!FindKey(Text(location) + Text(section), place, &hive)) return ZStringList();
    return ToList(hive.document.ValueNames(place.path));
  }
  std::string content;
  bool exists = false;
  int error = 0;
  if (!zhost::ReadSettingsFile(location.Text(), content, exists, error)) return ZStringList();
  return ToList(zprofile::IniDocument(content).Keys(section));
}

void ZConfig::DeleteSection(const char* section) {
  if (!RequireSection(section) || source == Environment) return;
  if (source == Application) {
    KeyPlace place;
    if (!FindKey(Text(location), place)) return;
    std::string subkey = place.path + "\\" + section;
    UpdateHive(place.localMachine, [&](zprofile::HiveDocument& document) { return document.DeleteKey(subkey); });
    return;
  }
  WriteProfile(section, nullptr, nullptr);
}

void ZConfig::DeleteKey(const char* section, const char* key) {
  if (source == Environment) {
    if (!RequireEnvironmentKey(key)) return;
    int error = 0;
    zhost::UnsetEnvironment(key, error);
    return;
  }
  if (!RequireSection(section) || !RequireKey(key)) return;
  if (source == Application) {
    KeyPlace place;
    if (!FindKey(Text(location) + Text(section), place)) return;
    UpdateHive(place.localMachine,
               [&](zprofile::HiveDocument& document) { return document.DeleteValue(place.path, key); });
    return;
  }
  WriteProfile(section, key, nullptr);
}

// ---------------------------------------------------------------- texts

ZString ZConfig::GetString(const char* section, const char* key, const char* defaultValue) const {
  ZString fallback(defaultValue == nullptr ? "" : defaultValue);
  if (source == Environment) {
    if (!RequireEnvironmentKey(key)) return fallback;
    std::string value;
    return zhost::GetEnvironment(key, value) ? ZString(value.c_str()) : fallback;
  }
  if (!RequireKey(key) || !RequireSection(section)) return fallback;
  if (source == Application) {
    RegistryValue value;
    if (!ReadRegistry(section, key, value)) return fallback;
    if (value.type == zprofile::HiveDocument::String) return ZString(value.text.c_str());
    if (value.type == zprofile::HiveDocument::DWord) {
      return FormatText("%d", static_cast<int32_t>(value.number));
    }
    return fallback;
  }
  ZString value;
  return ReadProfile(section, key, value) ? value : fallback;
}

void ZConfig::SetString(const char* section, const char* key, const char* value) {
  const char* text = value == nullptr ? "" : value;
  if (source == Environment) {
    if (!RequireEnvironmentKey(key)) return;
    int error = 0;
    zhost::SetEnvironment(key, text, error);
    return;
  }
  if (!RequireKey(key) || !RequireSection(section)) return;
  if (source == Application) {
    RegistryValue stored;
    stored.type = zprofile::HiveDocument::String;
    stored.text = text;
    WriteRegistry(section, key, stored);
    return;
  }
  WriteProfile(section, key, text);
}

void ZConfig::SetStrings(const char* section, const std::vector<Setting>& settings) {
  Changes changes;
  for (const Setting& setting : settings) changes.SetString(section, setting.key.Text(), setting.value.Text());
  Apply(changes);
}

void ZConfig::Changes::SetString(const char* section, const char* key, const char* value) {
  steps.push_back(Step{ZString(section == nullptr ? "" : section), ZString(key == nullptr ? "" : key),
                       ZString(value == nullptr ? "" : value), false});
}

void ZConfig::Changes::DeleteSection(const char* section) {
  steps.push_back(Step{ZString(section == nullptr ? "" : section), ZString(), ZString(), true});
}

void ZConfig::Apply(const Changes& changes) {
  if (changes.steps.empty()) return;
  // Misuse in any step writes none of them.
  for (const Changes::Step& step : changes.steps) {
    if (source == Environment) {
      if (!step.deletesSection && !RequireEnvironmentKey(step.key.Text())) return;
    } else if (!RequireSection(step.section.Text()) || (!step.deletesSection && !RequireKey(step.key.Text()))) {
      return;
    }
  }
  if (source == Environment) {
    // Sections mean nothing there.
    for (const Changes::Step& step : changes.steps) {
      if (!step.deletesSection) SetString(nullptr, step.key.Text(), step.value.Text());
    }
    return;
  }
  if (source == Application) {
    // The sections are subkeys of the application's key, where it was found.
    KeyPlace place;
    if (!FindKey(Text(location), place)) {
      // Nothing there yet: a service writes for the machine, anyone else for
      // the user.
      place.localMachine = GetIdentity().isService;
      place.path = zprofile::HiveDocument::CleanPath(Text(location));
    }
    // Failures leave the hive as it was; callers are not told.
    UpdateHive(place.localMachine, [&](zprofile::HiveDocument& document) {
      for (const Changes::Step& step : changes.steps) {
        const std::string path = zprofile::HiveDocument::CleanPath(place.path + "\\" + step.section.Text());
        if (step.deletesSection) {
          document.DeleteKey(path);
          continue;
        }
        RegistryValue stored;
        stored.type = zprofile::HiveDocument::String;
        stored.text = step.value.Text();
        document.SetValue(path, step.key.Text(), stored);
      }
      return true;
    });
    return;
  }
  int error = 0;
  bool written = zhost::UpdateSettingsFile(
      location.Text(), false,
      [&](std::string& content) {
        zprofile::IniDocument document(content);
        for (const Changes::Step& step : changes.steps) {
          if (step.deletesSection) {
            document.DeleteSection(step.section.Text());
          } else {
            document.SetValue(step.section.Text(), step.key.Text(), step.value.Text());
          }
        }
        content = document.Text();
        return true;
      },
      error);
  if (!written) Z_ASSERT_CODE(ZAssertOSError);
}

// ---------------------------------------------------------------- numbers and flags

int32_t ZConfig::GetInteger(const char* section, const char* key, int32_t defaultValue) const {
  if (source != Application) {
    return GetString(section, key, FormatText("%d", defaultValue)).AsInteger(10);
  }
  if (!RequireKey(key) || !RequireSection(section)) return defaultValue;
  RegistryValue value;
  if (!ReadRegistry(section, key, value)) return defaultValue;
  if (value.type == zprofile::HiveDocument::DWord) return static_cast<int32_t>(value.number);
  if (value.type == zprofile::HiveDocument::String) {
    return ZString(value.text.substr(0, kNumberBufferSize - 1).c_str()).AsInteger(10);
  }
  return defaultValue;
}

void ZConfig::SetInteger(const char* section, const char* key, int32_t value) {
  if (source != Application) {
    SetString(section, key, FormatText("%d", value));
    return;
  }
  if (!RequireKey(key) || !RequireSection(section)) return;
  RegistryValue stored;
  stored.type = zprofile::HiveDocument::DWord;
  stored.number = static_cast<uint32_t>(value);
  WriteRegistry(section, key, stored);
}

bool ZConfig::GetBoolean(const char* section, const char* key, bool defaultValue) const {
  if (source == Application) {
    return GetInteger(section, key, defaultValue ? 1 : 0) != 0;
  }
  ZString text = GetString(section, key, defaultValue ? "T" : "F").ToUpper();
  return text[0] == 'T' || text[0] == 'Y' || text.AsInteger(10) != 0;
}

void ZConfig::SetBoolean(const char* section, const char* key, bool value) {
  if (source == Application) {
    SetInteger(section, key, value ? 1 : 0);
    return;
  }
  SetString(section, key, value ? "True" : "False");
}

// ---------------------------------------------------------------- times

ZTime ZConfig::GetTime(const char* section, const char* key) const {
  return ZTime(GetString(section, key, "1 Jan 1996").Text());
}

ZTime ZConfig::GetTime(const char* section, const char* key, const ZTime& defaultValue) const {
  return ZTime(GetString(section, key, defaultValue.AsString(ZTime::RFC1123)).Text());
}

void ZConfig::SetTime(const char* section, const char* key, const ZTime& value) {
  SetString(section, key, value.AsString(ZTime::RFC1123, ZTime::LocalZone));
}
