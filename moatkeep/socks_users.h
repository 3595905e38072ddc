// The users of the SOCKS 5 agent's username/password method: the section
// "SOCKS Users" (key: the user name; value: the password). With none listed
// the agent asks for no authentication.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "log_sink.h"
#include "settings_names.h"
#include "zunder/config.h"

class SocksUsers {
 public:
  // The longest name and password the sub-negotiation can carry.
  static constexpr size_t kLongest = 255;

  SocksUsers() = default;
  SocksUsers(const SocksUsers&) = delete;
  SocksUsers& operator=(const SocksUsers&) = delete;

  // Replaces the users with those of a section. A key without a value is a
  // removed user, skipped without a word; a name or password longer than a
  // client could send is skipped with an error line when a log is given.
  void Load(const ZConfig& config, const char* section = Settings::kSocksUsers, LogSink* log = nullptr);
  // Adds one user; false for a name or password that does not fit.
  bool Add(std::string_view username, std::string_view password);

  bool IsEmpty() const { return users.empty(); }
  // Whether the name is listed with this password. Names are compared
  // without regard to case, as the store's keys are; passwords exactly and
  // in constant time (an unknown name takes as long as a wrong password).
  bool Accepts(std::string_view username, std::string_view password) const;

  // A text a user name or password may be in the store: it reads back the
  // same (no control characters, no blanks at its ends, not in quotes) and
  // fits the sub-negotiation.
  static bool IsStorableValue(std::string_view text);

 private:
  static std::string Folded(std::string_view name);
  std::map<std::string, std::string> users;  // by folded name
};
