// ZConfig: the sectioned key/value settings store. Values live in the
// process environment, in an INI file, or in the registry, which this host
// keeps as two REGEDIT4 text files (HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER). Every operation reads or rewrites the files afresh, so
// what one object writes another sees at once, also in other processes.
#pragma once

#include <cstdint>
#include <vector>

#include "zunder/strings.h"
#include "zunder/time.h"

// Who the running program is, as the store needs it to find its settings.
// The process framework fills it in at start; until then the manufacturer
// and product are empty, the executable is the real running binary and the
// program is not a service.
struct ZConfigIdentity {
  ZString manufacturer;
  ZString product;
  ZString versionText;     // "major.minor"; empty when unknown
  ZString executablePath;  // the real path of the program
  bool isService = false;
};

class ZConfig : public ZObject {
  Z_CLASS(ZConfig, ZObject)
 public:
  // Where values live; the numbers are fixed.
  enum Source {
    Environment = 0,  // the process environment; sections are ignored
    System = 1,       // the system-wide profile; resolves to File
    Application = 2,  // the INI file beside the executable, else the registry
    File = 3,         // a named INI file
  };

  explicit ZConfig(Source kind = Application);
  ZConfig(const char* defaultSection, Source kind);
  // A store at an explicit location: for File the INI file's name, for
  // Application the registry key path (ending in a backslash).
  ZConfig(const char* defaultSection, Source kind, const char* location);

  Source GetSource() const { return source; }
  const ZString& GetLocation() const { return location; }
  const ZString& GetDefaultSection() const { return defaultSection; }

  // ---- sections and keys
  ZStringList GetSections() const;
  ZStringList GetKeys(const char* section) const;
  ZStringList GetKeys() const { return GetKeys(defaultSection); }
  void DeleteSection(const char* section);
  void DeleteKey(const char* section, const char* key);
  void DeleteKey(const char* key) { DeleteKey(defaultSection, key); }

  // ---- values (the forms without a section use the default section)
  ZString GetString(const char* section, const char* key, const char* defaultValue) const;
  ZString GetString(const char* key, const char* defaultValue) const {
    return GetString(defaultSection, key, defaultValue);
  }
  void SetString(const char* section, const char* key, const char* value);
  void SetString(const char* key, const char* value) { SetString(defaultSection, key, value); }
  // One key and its text, for SetStrings.
  struct Setting {
    ZString key;
    ZString value;
  };
  // Writes several texts of one section as one change, in order: another
  // process, or the next start after the process was killed, sees all of
  // them or none of them.
  void SetStrings(const char* section, const std::vector<Setting>& settings);

  // Texts to set and sections to delete, gathered to be written together.
  class Changes {
   public:
    void SetString(const char* section, const char* key, const char* value);
    void DeleteSection(const char* section);
    bool IsEmpty() const { return steps.empty(); }

   private:
    friend class ZConfig;
    struct Step {
      ZString section;
      ZString key;
      ZString value;
      bool deletesSection;
    };
    std::vector<Step> steps;
  };
  // Applies the changes in order as one write of the INI file, or of the
  // hive that holds the store's key (the environment takes them one by
  // one, and has no sections to delete): all of them or none are ever seen.
  void Apply(const Changes& changes);

  bool GetBoolean(const char* section, const char* key, bool defaultValue) const;
  bool GetBoolean(const char* key, bool defaultValue) const { return GetBoolean(defaultSection, key, defaultValue); }
  // Registry: a number 1 or 0; elsewhere the text "True" or "False".
  void SetBoolean(const char* section, const char* key, bool value);
  void SetBoolean(const char* key, bool value) { SetBoolean(defaultSection, key, value); }

  int32_t GetInteger(const char* section, const char* key, int32_t defaultValue) const;
  int32_t GetInteger(const char* key, int32_t defaultValue) const {
    return GetInteger(defaultSection, key, defaultValue);
  }
  // Registry: a number; elsewhere the decimal text.
  void SetInteger(const char* section, const char* key, int32_t value);
  void SetInteger(const char* key, int32_t value) { SetInteger(defaultSection, key, value); }

  // The stored text parsed as a time; absent keys give 1 Jan 1996 (or the
  // given default).
  ZTime GetTime(const char* section, const char* key) const;
  ZTime GetTime(const char* section, const char* key, const ZTime& defaultValue) const;
  ZTime GetTime(const char* key) const { return GetTime(defaultSection, key); }
  // Stored as format 0 in the local zone.
  void SetTime(const char* section, const char* key, const ZTime& value);
  void SetTime(const char* key, const ZTime& value) { SetTime(defaultSection, key, value); }

  // Whether every store reads a key of this name back as the same name: it
  // is not empty, has no blank at either end, no control character and no
  // "=", and does not begin with "[", ";" or "#" (an INI file would read a
  // section header or a comment). Forms that take key names from their
  // users refuse the others.
  static bool IsStorableKey(const char* key);

  // ---- the program's identity (thread-safe)
  static void SetIdentity(const ZConfigIdentity& identity);
  static ZConfigIdentity GetIdentity();

 private:
  // A registry value as read: absent, text or number.
  struct RegistryValue;
  enum class Write { No, Yes };

  void Resolve();
  bool RequireKey(const char* key) const;
  bool RequireSection(const char* section) const;
  bool RequireEnvironmentKey(const char* key) const;
  bool ReadRegistry(const char* section, const char* key, RegistryValue& value) const;
  void WriteRegistry(const char* section, const char* key, const RegistryValue& value);
  bool ReadProfile(const char* section, const char* key, ZString& value) const;
  void WriteProfile(const char* section, const char* key, const char* value);

  ZString defaultSection;
  Source source;
  ZString location;
};
