// The REGEDIT4 hive parser of the configuration store on arbitrary text.
// Properties: a hive written out reads back to the same text, every listed
// subkey exists, and a text value set reads back as it was set.
#include <cstdint>
#include <string>
#include <vector>

#include "config_documents.h"
#include "fuzz_check.h"

namespace {

constexpr const char* kRoot = "HKEY_CURRENT_USER\\SOFTWARE\\Moatkeep";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zprofile::HiveDocument document(text, kRoot);
  const std::string written = document.Text();
  FUZZ_CHECK(zprofile::HiveDocument(written, kRoot).Text() == written, "a hive reads back to itself");

  // Walks the tree from the root, bounded: every key needs a line.
  std::vector<std::string> pending{""};
  for (int visited = 0; !pending.empty() && visited <= 4096; ++visited) {
    const std::string path = pending.back();
    pending.pop_back();
    FUZZ_CHECK(path.empty() || document.HasKey(path), "a listed subkey exists");
    for (const std::string& name : document.ValueNames(path)) (void)document.GetValue(path, name);
    for (const std::string& sub : document.SubKeys(path)) pending.push_back(path.empty() ? sub : path + "\\" + sub);
  }

  zprofile::HiveDocument::Value value;
  value.type = zprofile::HiveDocument::String;
  value.text = text;
  document.SetValue("Globals", "Log Level", value);
  zprofile::HiveDocument reread(document.Text(), kRoot);
  const zprofile::HiveDocument::Value back = reread.GetValue("Globals", "Log Level");
  FUZZ_CHECK(back.type == zprofile::HiveDocument::String, "a text value stays a text");
  FUZZ_CHECK(back.text == zprofile::OneLine(text), "a text value survives writing on one line");
  return 0;
}
