// What the time units share (time.cpp and the date parser in time_parse.cpp):
// character access on streams and the calendar arithmetic. Private to the
// library.
#pragma once

#include <cstdint>
#include <istream>

#include "host_clock.h"

namespace ztime {

bool IsDigit(int c);
bool IsLetter(int c);

// The next character of the stream's buffer without taking it (-1 at the
// end, which sets eofbit only), and taking it.
int PeekChar(std::istream& in);
int GetChar(std::istream& in);

// Calendar fields read as UTC, and as local time (a host failure is
// reported and gives 0).
int64_t UtcSeconds(const zhost::CalendarFields& fields);
int64_t LocalSeconds(const zhost::CalendarFields& fields);
// Today's local calendar fields.
zhost::CalendarFields LocalToday();
// Within the range a ZTime is built from (1970-2038).
bool FieldsInRange(const zhost::CalendarFields& fields);

}  // namespace ztime
