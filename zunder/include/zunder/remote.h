// ZRemoteConnection: one dial-up connection through the host's phonebook.
//
// A remote name is a phonebook entry, or '.' followed by a telephone number
// (dialled through the phonebook's default entry). Open dials synchronously
// or adopts a connection to the same entry that is already up; Close hangs
// up what this object dialled or adopted; GetStatus turns the connection's
// state, or the error of the last Open, into one small status value.
//
// The object takes no lock itself: its owner serialises the calls.
#pragma once

#include <cstdint>

#include "zunder/strings.h"
#include "zunder/time.h"

class ZRemoteConnection : public ZObject {
  Z_CLASS(ZRemoteConnection, ZObject)
 public:
  enum Status {
    Idle = 0,            // no connection and no error, or the link reports idle
    Dialling = 1,        // the link exists but is neither up nor idle
    LineBusy = 2,        // error 676
    NoDialTone = 3,      // error 680
    NoAnswer = 4,        // error 678 or 679
    PortInUse = 5,       // error 602 or 633
    MissingEntry = 6,    // error 623
    GeneralFailure = 7,  // any other error, or the link's state cannot be read
    Connected = 8,       // the link reports connected
  };

  // The remote-access error codes this class reports.
  enum Error : uint32_t {
    NoError = 0,
    InvalidParameter = 87,  // a telephone number that is empty or too long to dial
    PortAlreadyOpen = 602,
    EntryNotFound = 623,  // also an entry name too long to be one
    PortNotAvailable = 633,
    Failure = 651,  // the entry failed in any other way
    LineBusyError = 676,
    NoAnswerError = 678,
    NoCarrierError = 679,
    NoDialToneError = 680,
  };

  // Longest phonebook entry name, and longest '.'+number remote name.
  static constexpr ZIndex kMaxEntryName = 19;
  static constexpr ZIndex kMaxNumberName = 128;

  ZRemoteConnection() = default;
  // Hangs up the connection held.
  ~ZRemoteConnection() override;
  ZRemoteConnection(const ZRemoteConnection&) = delete;
  ZRemoteConnection& operator=(const ZRemoteConnection&) = delete;

  // Takes the name (hanging up first when it differs), then Open().
  bool Open(const ZString& remoteName);
  // Adopts a connection of the current name that is already up, else dials
  // it. True when connected; on failure the last error is set, also as the
  // thread's last system error.
  bool Open();
  // Hangs up the connection held, if any. The last error stays.
  void Close();
  Status GetStatus() const;

  const ZString& GetRemoteName() const { return remoteName; }
  uint32_t GetLastError() const { return lastError; }
  // Whether this object dialled or adopted a connection it has not hung up.
  bool HasConnection() const { return connected; }

  // The entries of the phonebook in name order; empty when it cannot be read.
  static ZStringArray GetAvailableNames();

  // Where the phonebook is, and how long one run of an entry may take before
  // it is killed. Empty, and 0, go back to the host's defaults
  // (ZUNDER_PHONEBOOK, ZUNDER_DIAL_TIMEOUT).
  static void SetPhonebookDirectory(const ZString& directory);
  static ZString GetPhonebookDirectory();
  static void SetDialTimeout(const ZTimeInterval& timeout);
  static ZTimeInterval GetDialTimeout();

  // The status a last error stands for when no connection is held.
  static Status StatusOfError(uint32_t error);
  // The error a dialler's last line of output names, as a modem would.
  static uint32_t ErrorOfDialResponse(const char* lastLine);

  // By remote name; another class is reported as an invalid cast.
  ZComparison Compare(const ZObject& other) const override;
  uint32_t Hash() const override;

 private:
  // The program and the arguments before the command word; false (with the
  // error in lastError) when the remote name cannot be an entry.
  bool ResolveEntry(ZString& program, ZString& number, uint32_t& error) const;
  bool Fail(uint32_t error);

  ZString remoteName;
  bool connected = false;  // the "connection handle": this object dialled or adopted it
  uint32_t lastError = NoError;
};
