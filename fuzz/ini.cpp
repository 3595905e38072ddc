// The INI profile parser of the configuration store on arbitrary text.
// Properties: a document written out reads back to the same text, every
// key listed can be read, and a value set reads back as it was set.
#include <cstdint>
#include <string>

#include "config_documents.h"
#include "fuzz_check.h"

namespace {

// A value as the profile rules read it back: on one line, trimmed, and
// without one pair of enclosing quotes (as the host's profile functions do).
std::string AsRead(const std::string& written) {
  std::string value = zprofile::Trim(zprofile::OneLine(written));
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A file of lines: any byte may come, NUL included.
  const std::string text(reinterpret_cast<const char*>(data), size);
  zprofile::IniDocument document(text);
  const std::string written = document.Text();
  FUZZ_CHECK(zprofile::IniDocument(written).Text() == written, "an INI document reads back to itself");

  int visited = 0;
  for (const std::string& section : document.Sections()) {
    for (const std::string& key : document.Keys(section)) {
      std::string value;
      FUZZ_CHECK(document.GetValue(section, key, value), "every listed key has a value");
      if (++visited > 4096) break;
    }
  }

  // The service writes plain names; its values may be anything a form took.
  document.SetValue("Relays", "telnet", text);
  std::string value;
  FUZZ_CHECK(document.GetValue("Relays", "telnet", value), "a value set can be read");
  FUZZ_CHECK(value == AsRead(text), "a value set reads back on one line");
  zprofile::IniDocument reread(document.Text());
  std::string again;
  FUZZ_CHECK(reread.GetValue("Relays", "telnet", again) && again == value, "a value set survives writing");
  return 0;
}
