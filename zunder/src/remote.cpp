// ZRemoteConnection: what the phonebook's answers mean. Running the entries
// is the host layer's part (host_remote.h).
#include "zunder/remote.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host_error.h"
#include "host_remote.h"

namespace {

// The default entry that dials a bare telephone number.
constexpr const char* kNumberEntry = ".default";
// Status and hang-up are quick questions; a dial may take its full bound.
constexpr int64_t kQuickRunLimit = int64_t{30} * 1000;

std::mutex settingsMutex;
ZString phonebookOverride;                    // guarded by settingsMutex
std::atomic<int64_t> dialTimeoutOverride{0};  // milliseconds; 0 for the host's default

struct DialResponse {
  const char* text;
  uint32_t error;
};

// Compared without regard to case, as a modem's result codes are.
const DialResponse kDialResponses[] = {
    {"BUSY", ZRemoteConnection::LineBusyError},          {"NO DIALTONE", ZRemoteConnection::NoDialToneError},
    {"NO ANSWER", ZRemoteConnection::NoAnswerError},     {"NO CARRIER", ZRemoteConnection::NoCarrierError},
    {"PORT IN USE", ZRemoteConnection::PortAlreadyOpen},
};

int64_t QuickRunLimit() {
  const int64_t bound = ZRemoteConnection::GetDialTimeout().GetMilliseconds();
  return bound < kQuickRunLimit ? bound : kQuickRunLimit;
}

// Runs one command of an entry; number is passed after the command word.
// error tells why an entry could not be run.
bool RunCommand(const ZString& program, const char* command, const ZString& number, int64_t limit, zhost::EntryRun& run,
                int& error) {
  std::vector<std::string> arguments{command};
  if (!number.IsEmpty()) arguments.emplace_back(number.Text());
  return zhost::RunEntry(program.Text(), arguments, limit, run, error);
}

bool RunCommand(const ZString& program, const char* command, const ZString& number, int64_t limit,
                zhost::EntryRun& run) {
  int ignored = 0;
  return RunCommand(program, command, number, limit, run, ignored);
}

// The phonebook's words are compared as a modem's would be: without regard
// to case.
bool SameWord(const char* text, const char* word) { return ZString(text) *= word; }

}  // namespace

ZRemoteConnection::~ZRemoteConnection() { Close(); }

// ---------------------------------------------------------------- settings

void ZRemoteConnection::SetPhonebookDirectory(const ZString& directory) {
  std::lock_guard<std::mutex> lock(settingsMutex);
  phonebookOverride = directory;
}

ZString ZRemoteConnection::GetPhonebookDirectory() {
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (!phonebookOverride.IsEmpty()) return phonebookOverride;
  }
  return ZString(zhost::DefaultPhonebookDirectory().c_str());
}

void ZRemoteConnection::SetDialTimeout(const ZTimeInterval& timeout) {
  dialTimeoutOverride = timeout.GetMilliseconds() > 0 ? timeout.GetMilliseconds() : 0;
}

ZTimeInterval ZRemoteConnection::GetDialTimeout() {
  const int64_t set = dialTimeoutOverride.load();
  return ZTimeInterval(set > 0 ? set : zhost::DefaultDialTimeout());
}

// ---------------------------------------------------------------- mapping

ZRemoteConnection::Status ZRemoteConnection::StatusOfError(uint32_t error) {
  switch (error) {
    case NoError: return Idle;
    case LineBusyError: return LineBusy;
    case NoDialToneError: return NoDialTone;
    case NoAnswerError:
    case NoCarrierError: return NoAnswer;
    case PortAlreadyOpen:
    case PortNotAvailable: return PortInUse;
    case EntryNotFound: return MissingEntry;
    default: return GeneralFailure;
  }
}

uint32_t ZRemoteConnection::ErrorOfDialResponse(const char* lastLine) {
  if (lastLine != nullptr) {
    for (const DialResponse& response : kDialResponses) {
      if (SameWord(lastLine, response.text)) return response.error;
    }
  }
  return Failure;
}

// ---------------------------------------------------------------- operations

bool ZRemoteConnection::ResolveEntry(ZString& program, ZString& number, uint32_t& error) const {
  ZString directory = GetPhonebookDirectory();
  if (directory.IsEmpty() || directory.Right(1) != "/") directory += "/";
  const ZIndex length = remoteName.GetLength();
  if (length > 0 && remoteName.Text()[0] == '.') {
    if (length > kMaxNumberName || length == 1) {
      error = InvalidParameter;
      return false;
    }
    number = remoteName.Mid(1);
    program = directory + kNumberEntry;
  } else {
    // A name that is empty, too long or not a plain file name cannot be an
    // entry of the phonebook.
    if (length == 0 || length > kMaxEntryName || std::string(remoteName.Text()).find('/') != std::string::npos) {
      error = EntryNotFound;
      return false;
    }
    number = ZString();
    program = directory + remoteName;
  }
  if (!zhost::IsExecutableFile(program.Text())) {
    error = EntryNotFound;
    return false;
  }
  return true;
}

bool ZRemoteConnection::Fail(uint32_t error) {
  lastError = error;
  zhost::SetLastError(static_cast<int>(error));
  return false;
}

bool ZRemoteConnection::Open(const ZString& name) {
  if (name != remoteName) {
    Close();
    remoteName = name;
  }
  return Open();
}

bool ZRemoteConnection::Open() {
  Close();
  ZString program;
  ZString number;
  uint32_t error = NoError;
  if (!ResolveEntry(program, number, error)) return Fail(error);

  // A link that is already up (made outside this object) is adopted.
  zhost::EntryRun run;
  if (RunCommand(program, "status", number, QuickRunLimit(), run) && SameWord(run.lastLine.c_str(), "connected")) {
    connected = true;
    lastError = NoError;
    return true;
  }

  int runError = 0;
  if (RunCommand(program, "dial", number, GetDialTimeout().GetMilliseconds(), run, runError)) {
    connected = true;
    lastError = NoError;
    return true;
  }
  if (!run.started) return Fail(runError == zhost::kNoSuchFile ? EntryNotFound : Failure);
  if (run.timedOut) {
    // Killed half-way: whatever it had set up is taken down again.
    zhost::EntryRun hangup;
    RunCommand(program, "hangup", number, QuickRunLimit(), hangup);
    return Fail(Failure);
  }
  return Fail(ErrorOfDialResponse(run.lastLine.c_str()));
}

void ZRemoteConnection::Close() {
  if (!connected) return;
  connected = false;
  ZString program;
  ZString number;
  uint32_t error = NoError;
  if (!ResolveEntry(program, number, error)) return;  // the entry is gone: nothing to run
  zhost::EntryRun run;
  RunCommand(program, "hangup", number, QuickRunLimit(), run);
}

ZRemoteConnection::Status ZRemoteConnection::GetStatus() const {
  if (!connected) return StatusOfError(lastError);
  ZString program;
  ZString number;
  uint32_t error = NoError;
  if (!ResolveEntry(program, number, error)) return GeneralFailure;
  zhost::EntryRun run;
  if (!RunCommand(program, "status", number, QuickRunLimit(), run) || run.lastLine.empty()) return GeneralFailure;
  if (SameWord(run.lastLine.c_str(), "connected")) return Connected;
  if (SameWord(run.lastLine.c_str(), "idle")) return Idle;
  return Dialling;
}

ZStringArray ZRemoteConnection::GetAvailableNames() {
  ZStringArray names;
  std::vector<std::string> entries;
  if (!zhost::ListExecutables(GetPhonebookDirectory().Text(), entries)) return names;
  for (const std::string& entry : entries) {
    if (static_cast<ZIndex>(entry.size()) <= kMaxEntryName) names.Append(entry.c_str());
  }
  return names;
}

// ---------------------------------------------------------------- ZObject

ZComparison ZRemoteConnection::Compare(const ZObject& other) const {
  if (!other.IsDescendant(ZRemoteConnection::ClassName())) {
    Z_ASSERT_CODE(ZAssertInvalidCast);
    const int byName = std::strcmp(GetClass(), other.GetClass());
    return byName != 0 ? ZSign(byName) : LessThan;
  }
  return remoteName.Compare(static_cast<const ZRemoteConnection&>(other).remoteName);
}

uint32_t ZRemoteConnection::Hash() const { return remoteName.Hash(); }
