// The names of the configuration's sections and keys, as the service reads
// them and the forms of the administration site write them.
#pragma once

namespace Settings {

// ---- sections
inline constexpr const char* kGlobals = "Globals";
inline constexpr const char* kRelays = "Relays";           // service = destination
inline constexpr const char* kSecurity = "Security";       // originator = destination
inline constexpr const char* kSocksUsers = "SOCKS Users";  // user name = password
// The n-th remote system's section, from 1 (see RemoteSectionName).
inline constexpr const char* kRemoteSectionFormat = "Remote%u";

// ---- keys of Globals
inline constexpr const char* kLogLevel = "Log Level";
inline constexpr const char* kSocksTimeout = "SOCKS Timeout";  // seconds
inline constexpr const char* kLinkTimeout = "Link Timeout";    // minutes
inline constexpr const char* kUdpTimeout = "UDP Timeout";      // seconds
inline constexpr const char* kUdpRetries = "UDP Retries";
inline constexpr const char* kHttpPort = "HTTP Port";
inline constexpr const char* kUsername = "Username";
inline constexpr const char* kPassword = "Password";
inline constexpr const char* kConnectPorts = "Connect Ports";  // blank-separated port numbers
// Names besides its own that the administration site answers to
// (blank-separated).
inline constexpr const char* kAdminHostNames = "Admin Host Names";

// ---- keys of a remote system's section, besides its relay overrides (keyed
// as in Relays)
inline constexpr const char* kRemoteName = "Remote Name";
inline constexpr const char* kDialRetries = "Dial Retries";
inline constexpr const char* kDisconnectTime = "Disconnect Time";               // minutes
inline constexpr const char* kConnectionTimeLimit = "Connection Time Limit";    // hours
inline constexpr const char* kConnectionTimePeriod = "Connection Time Period";  // days

}  // namespace Settings
