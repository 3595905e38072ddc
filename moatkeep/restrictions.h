// The access restrictions: pairs of originator and destination patterns.
// Empty, everything is allowed; otherwise the first entry whose originator
// matches decides alone.
#pragma once

#include "host_registry.h"
#include "log_sink.h"
#include "settings_names.h"
#include "socket_spec.h"
#include "zunder/config.h"
#include "zunder/containers.h"

class Restrictions {
 public:
  Restrictions() = default;
  Restrictions(const Restrictions&) = delete;
  Restrictions& operator=(const Restrictions&) = delete;

  // Replaces the restrictions with those of a configuration section (key:
  // originator, value: destination). Pairs that do not parse are skipped,
  // each with an error line in the log when one is given; a key without a
  // value is a removed restriction and skipped without a word.
  void Load(const ZConfig& config, const char* section = Settings::kSecurity, LogSink* log = nullptr);
  // Adds one pair; false (and nothing added) when either text does not
  // parse as a pattern.
  bool Add(const char* originator, const char* destination);
  // Reads an originator or destination as the table takes it (Parse in
  // pattern form, blanks at the ends ignored); false for a text the table
  // would skip.
  static bool ParsePattern(const char* text, SocketSpec& pattern);
  void Clear();

  bool IsEmpty() const { return entries.IsEmpty(); }
  ZIndex Count() const { return entries.GetSize(); }
  // Whether originator may reach destination (both concrete).
  bool Allows(const SocketSpec& originator, const SocketSpec& destination) const;

 private:
  // One originator with the destinations it may reach, both in Compare
  // order; a restriction list is ordered by its entries' originators.
  class RestrictionEntry : public ZObject {
    Z_CLASS(RestrictionEntry, ZObject)
   public:
    explicit RestrictionEntry(const SocketSpec& originatorSpec) : originator(originatorSpec) {}
    ZComparison Compare(const ZObject& other) const override;
    bool Reaches(const SocketSpec& destination) const;
    void AddDestination(const SocketSpec& destination);

    SocketSpec originator;
    ZSortedList destinations;  // of SocketSpec, no duplicates
  };

  RestrictionEntry* EntryAt(ZIndex index) const { return static_cast<RestrictionEntry*>(entries.GetAt(index)); }

  ZSortedList entries;  // of RestrictionEntry
};

// The access check made before a connection or datagram is carried:
// registers the originating host (allowed or not, so it shows on the status
// page) and applies the restrictions; a denial is logged as a warning.
bool CheckAccess(HostRegistry& hosts, const Restrictions& restrictions, const SocketSpec& originator,
                 const SocketSpec& destination, const ZTimeInterval& linkTimeout, LogSink& log);
