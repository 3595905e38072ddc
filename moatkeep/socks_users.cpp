#include "socks_users.h"

#include <cctype>

#include "socks5_protocol.h"

void SocksUsers::Load(const ZConfig& config, const char* section, LogSink* log) {
  users.clear();
  const ZStringList keys = config.GetKeys(section);
  for (ZIndex i = 0; i < keys.GetSize(); ++i) {
    const ZString name = *keys.GetAt(i);
    const ZString password = config.GetString(section, name.Text(), "");
    if (password.IsEmpty()) continue;
    if (!Add(std::string_view(name.Text(), static_cast<size_t>(name.GetLength())),
             std::string_view(password.Text(), static_cast<size_t>(password.GetLength()))) &&
        log != nullptr) {
      log->Log(ErrorLevel, "SOCKS user skipped: name or password longer than %u bytes.",
               static_cast<unsigned>(kLongest));
    }
  }
}

bool SocksUsers::Add(std::string_view username, std::string_view password) {
  if (username.empty() || username.size() > kLongest || password.size() > kLongest) return false;
  users[Folded(username)] = std::string(password);
  return true;
}

bool SocksUsers::Accepts(std::string_view username, std::string_view password) const {
  const auto found = users.find(Folded(username));
  // An unknown name is compared against a password nobody can send (one
  // byte too long), so that it costs what a known one does.
  static const std::string kNobodys(kLongest + 1, '\0');
  const std::string& expected = found != users.end() ? found->second : kNobodys;
  const bool same = SameSecret(password, expected);
  return same && found != users.end();
}

bool SocksUsers::IsStorableValue(std::string_view text) {
  if (text.size() > kLongest) return false;
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 0x20 || code == 0x7f) return false;
  }
  if (text.empty()) return true;
  // The store trims blanks at the ends and takes off matching quotes.
  if (text.front() == ' ' || text.back() == ' ') return false;
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) return false;
  return true;
}

std::string SocksUsers::Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}
