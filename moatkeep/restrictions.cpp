#include "restrictions.h"

ZComparison Restrictions::RestrictionEntry::Compare(const ZObject& other) const {
  const RestrictionEntry* entry = ZCast<RestrictionEntry>(&other);
  if (entry == nullptr) return GreaterThan;
  return originator.Compare(entry->originator);
}

bool Restrictions::RestrictionEntry::Reaches(const SocketSpec& destination) const {
  for (ZIndex i = 0; i < destinations.GetSize(); ++i) {
    if (static_cast<const SocketSpec*>(destinations.GetAt(i))->Match(destination)) return true;
  }
  return false;
}

void Restrictions::RestrictionEntry::AddDestination(const SocketSpec& destination) {
  if (destinations.IndexOfValue(destination) == ZNotFound) destinations.Append(destination.Clone());
}

void Restrictions::Load(const ZConfig& config, const char* section, LogSink* log) {
  Clear();
  const ZStringList keys = config.GetKeys(section);
  for (ZIndex i = 0; i < keys.GetSize(); ++i) {
    const ZString* key = keys.GetAt(i);
    const ZString value = config.GetString(section, key->Text(), "");
    if (value.Trim().IsEmpty()) continue;
    // A pair left out widens the access of everyone it named: say so.
    if (!Add(key->Text(), value.Text()) && log != nullptr) {
      log->Log(ErrorLevel, "Access restriction skipped: \"%s\" to \"%s\".", key->Text(), value.Text());
    }
  }
}

bool Restrictions::ParsePattern(const char* text, SocketSpec& pattern) {
  if (text == nullptr) return false;
  return pattern.Parse(ZString(text).Trim().Text(), SocketSpec::kNoPort);
}

bool Restrictions::Add(const char* originator, const char* destination) {
  SocketSpec from;
  SocketSpec to;
  if (!ParsePattern(originator, from) || !ParsePattern(destination, to)) return false;
  const RestrictionEntry probe(from);
  RestrictionEntry* entry = nullptr;
  const ZIndex index = entries.IndexOfValue(probe);
  if (index != ZNotFound) {
    entry = EntryAt(index);
  } else {
    entry = new RestrictionEntry(from);
    if (entries.Append(entry) == ZNotFound) {  // already reported by the list
      delete entry;
      return false;
    }
  }
  entry->AddDestination(to);
  return true;
}

void Restrictions::Clear() { entries.RemoveAll(); }

bool Restrictions::Allows(const SocketSpec& originator, const SocketSpec& destination) const {
  if (entries.IsEmpty()) return true;
  for (ZIndex i = 0; i < entries.GetSize(); ++i) {
    const RestrictionEntry* entry = EntryAt(i);
    // The first matching originator decides; later entries are not asked.
    if (entry->originator.Match(originator)) return entry->Reaches(destination);
  }
  return false;
}

bool CheckAccess(HostRegistry& hosts, const Restrictions& restrictions, const SocketSpec& originator,
                 const SocketSpec& destination, const ZTimeInterval& linkTimeout, LogSink& log) {
  hosts.Register(originator.address, linkTimeout);
  if (restrictions.Allows(originator, destination)) return true;
  // Names are looked up here, outside every lock.
  log.Log(WarningLevel, "Connection denied from %s to %s.", originator.AsString().Text(),
          destination.AsString().Text());
  return false;
}
