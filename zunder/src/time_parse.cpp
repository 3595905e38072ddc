// The free-form date parser behind ZTime::Parse and reading a ZTime from a
// stream: tokens of digits, letters and signs, then the date table's words
// (months, weekdays, am/pm, zones) and the local zone's own names.
#include <cstring>
#include <istream>
#include <string>

#include "host_clock.h"
#include "time_calendar.h"
#include "zunder/time.h"

namespace {

using zhost::CalendarFields;
using ztime::FieldsInRange;
using ztime::GetChar;
using ztime::IsDigit;
using ztime::IsLetter;
using ztime::LocalSeconds;
using ztime::LocalToday;
using ztime::PeekChar;
using ztime::UtcSeconds;

// Where the parser's characters come from: a NUL-terminated text (never
// read past its terminator) or a stream (given back what it did not use).
class CharSource {
 public:
  virtual ~CharSource() = default;
  virtual int Peek() = 0;  // the next character, or -1 at the end
  virtual void Advance() = 0;
  virtual void GiveBack(const char* chars, int count) = 0;
};

class TextSource : public CharSource {
 public:
  explicit TextSource(const char* text) : next(text) {}
  int Peek() override { return *next != '\0' ? static_cast<unsigned char>(*next) : -1; }
  void Advance() override { ++next; }
  void GiveBack(const char*, int) override {}  // nothing reads on after a text

 private:
  const char* next;
};

class StreamSource : public CharSource {
 public:
  explicit StreamSource(std::istream& stream) : in(stream) {}
  int Peek() override { return PeekChar(in); }
  void Advance() override { GetChar(in); }
  // Last character first. The characters are there again, so a look-ahead's
  // end-of-file mark goes; a buffer without room for them marks the stream
  // bad, as istream::putback does.
  void GiveBack(const char* chars, int count) override {
    std::streambuf* buffer = in.rdbuf();
    if (count == 0 || buffer == nullptr) return;
    in.clear(in.rdstate() & ~std::ios::eofbit);
    for (int i = count - 1; i >= 0; --i) {
      if (buffer->sputbackc(chars[i]) == std::char_traits<char>::eof()) {
        in.setstate(std::ios::badbit);
        return;
      }
    }
  }

 private:
  std::istream& in;
};

struct Token {
  enum Kind { End, Number, Word, Plus, Minus, Colon };
  static constexpr int kMaxRun = 64;  // longer runs are cut into several tokens

  Kind kind = End;
  int64_t value = 0;            // a number's value
  int digits = 0;               // a number's digit count
  char word[kMaxRun + 1] = {};  // a word, lower-cased
  bool adjacent = true;         // no character was skipped before it
  // The characters skipped before the token (at most kMaxRun kept) and the
  // token's own, so that they can be given back.
  char raw[2 * kMaxRun] = {};
  int rawLength = 0;
  int bodyStart = 0;
};

class Tokeniser {
 public:
  explicit Tokeniser(CharSource& chars) : source(chars) {}

  Token Next() {
    Token token;
    for (;;) {
      int c = source.Peek();
      if (c < 0) return token;  // End
      if (IsDigit(c) || IsLetter(c) || c == '+' || c == '-' || c == ':') break;
      if (token.rawLength < Token::kMaxRun) token.raw[token.rawLength++] = static_cast<char>(c);
      token.adjacent = false;
      source.Advance();
    }
    token.bodyStart = token.rawLength;
    int c = source.Peek();
    if (IsDigit(c)) {
      token.kind = Token::Number;
      while (IsDigit(source.Peek()) && token.digits < Token::kMaxRun) {
        c = source.Peek();
        Take(token, c);
        // Saturate well inside int: no date field is that large, so a huge
        // number can only fail the range check, never wrap into range.
        token.value = token.value >= 100000000 ? 999999999 : token.value * 10 + (c - '0');
        ++token.digits;
      }
    } else if (IsLetter(c)) {
      token.kind = Token::Word;
      int length = 0;
      while (IsLetter(source.Peek()) && length < Token::kMaxRun) {
        c = source.Peek();
        Take(token, c);
        token.word[length++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      }
    } else {
      token.kind = c == '+' ? Token::Plus : (c == '-' ? Token::Minus : Token::Colon);
      Take(token, c);
    }
    return token;
  }

 private:
  void Take(Token& token, int c) {
    token.raw[token.rawLength++] = static_cast<char>(c);
    source.Advance();
  }
  CharSource& source;
};

// Words of the date table (lower case).
struct WordMeaning {
  const char* word;
  enum Kind { Month, Weekday, Half, Zone } kind;
  int value;  // month 1-12, weekday 0-6, 0 am / 1 pm, zone in minutes
};

const WordMeaning kWords[] = {
    {"jan", WordMeaning::Month, 1},         {"january", WordMeaning::Month, 1},   {"feb", WordMeaning::Month, 2},
    {"february", WordMeaning::Month, 2},    {"mar", WordMeaning::Month, 3},       {"march", WordMeaning::Month, 3},
    {"apr", WordMeaning::Month, 4},         {"april", WordMeaning::Month, 4},     {"may", WordMeaning::Month, 5},
    {"jun", WordMeaning::Month, 6},         {"june", WordMeaning::Month, 6},      {"jul", WordMeaning::Month, 7},
    {"july", WordMeaning::Month, 7},        {"aug", WordMeaning::Month, 8},       {"august", WordMeaning::Month, 8},
    {"sep", WordMeaning::Month, 9},         {"september", WordMeaning::Month, 9}, {"oct", WordMeaning::Month, 10},
    {"october", WordMeaning::Month, 10},    {"nov", WordMeaning::Month, 11},      {"november", WordMeaning::Month, 11},
    {"dec", WordMeaning::Month, 12},        {"december", WordMeaning::Month, 12}, {"sun", WordMeaning::Weekday, 0},
    {"sunday", WordMeaning::Weekday, 0},    {"mon", WordMeaning::Weekday, 1},     {"monday", WordMeaning::Weekday, 1},
    {"tue", WordMeaning::Weekday, 2},       {"tuesday", WordMeaning::Weekday, 2}, {"wed", WordMeaning::Weekday, 3},
    {"wednesday", WordMeaning::Weekday, 3}, {"thu", WordMeaning::Weekday, 4},     {"thursday", WordMeaning::Weekday, 4},
    {"fri", WordMeaning::Weekday, 5},       {"friday", WordMeaning::Weekday, 5},  {"sat", WordMeaning::Weekday, 6},
    {"saturday", WordMeaning::Weekday, 6},  {"am", WordMeaning::Half, 0},         {"pm", WordMeaning::Half, 1},
    {"gmt", WordMeaning::Zone, 0},          {"utc", WordMeaning::Zone, 0},        {"est", WordMeaning::Zone, -300},
    {"edt", WordMeaning::Zone, -240},       {"cst", WordMeaning::Zone, -360},     {"cdt", WordMeaning::Zone, -300},
    {"mst", WordMeaning::Zone, -420},       {"mdt", WordMeaning::Zone, -360},     {"pst", WordMeaning::Zone, -480},
    {"pdt", WordMeaning::Zone, -420},
};

bool SameIgnoringCase(const char* lower, const char* name) {
  if (*name == '\0') return false;
  for (; *lower != '\0' && *name != '\0'; ++lower, ++name) {
    char c = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name - 'A' + 'a') : *name;
    if (c != *lower) return false;
  }
  return *lower == *name;
}

class DateParser {
 public:
  explicit DateParser(CharSource& chars) : source(chars), tokens(chars) {}

  // Runs the parse; answers false when the text did not parse (nothing
  // usable was recognised before an error, or a field is out of range).
  bool Run(CalendarFields& fields, bool& zoneGiven, int& zone) {
    bool failed = false;
    for (;;) {
      Token token = Take();
      if (token.kind == Token::End) break;
      if (!Apply(token)) {
        if (!DateKnown() && !TimeKnown()) failed = true;
        GiveBack(&token);
        break;
      }
      if ((DateKnown() || TimeKnown()) && day >= 0 && year >= 0 && zoneSet) {
        GiveBack(nullptr);
        break;
      }
    }
    if (failed) return false;

    CalendarFields today;
    if (year < 0 || month < 0 || day < 0) today = LocalToday();
    fields.year = year >= 0 ? year : today.year;
    fields.month = month >= 0 ? month : today.month;
    fields.day = day >= 0 ? day : today.day;
    fields.hour = hour >= 0 ? hour : 0;
    fields.minute = minute >= 0 ? minute : 0;
    fields.second = second >= 0 ? second : 0;
    zoneGiven = zoneSet;
    zone = zoneValue;
    return FieldsInRange(fields);
  }

 private:
  static constexpr int kLookAhead = 3;

  bool DateKnown() const { return day >= 0 && month >= 0; }
  bool TimeKnown() const { return hour >= 0 && minute >= 0; }

  // Tokens already read but not yet used stay queued in order.
  const Token& Peek(int index = 0) {
    while (queued <= index) queue[queued++] = tokens.Next();
    return queue[index];
  }
  Token Take() {
    Token token = Peek();
    for (int i = 1; i < queued; ++i) queue[i - 1] = queue[i];
    --queued;
    return token;
  }
  // The failing token's own characters, then everything read after it.
  void GiveBack(const Token* failing) {
    std::string chars;
    if (failing != nullptr) chars.append(failing->raw + failing->bodyStart, failing->rawLength - failing->bodyStart);
    for (int i = 0; i < queued; ++i) chars.append(queue[i].raw, queue[i].rawLength);
    queued = 0;
    source.GiveBack(chars.data(), static_cast<int>(chars.size()));
  }

  static int Year(int64_t value) { return static_cast<int>(value < 100 ? value + 1900 : value); }

  bool Apply(const Token& token) {
    switch (token.kind) {
      case Token::Number: return ApplyNumber(token);
      case Token::Word: return ApplyWord(token);
      case Token::Plus:
      case Token::Minus: return ApplyZoneNumber(token.kind == Token::Minus ? -1 : 1);
      default: return false;
    }
  }

  bool ApplyNumber(const Token& number) {
    if (Peek().kind == Token::Colon) return ApplyTime(number);
    if (Peek().kind == Token::Minus && day < 0) {
      Take();
      day = static_cast<int>(number.value);
      return true;
    }
    if (day < 0 && number.value <= 31) {
      day = static_cast<int>(number.value);
      return true;
    }
    if (year < 0) {
      year = Year(number.value);
      return true;
    }
    return false;
  }

  // hh:mm[:ss] [am|pm]; the colon after the hour is next in the queue.
  bool ApplyTime(const Token& hourToken) {
    if (hour >= 0) return false;
    Take();  // the colon
    hour = static_cast<int>(hourToken.value);
    minute = 0;
    second = 0;
    if (Peek().kind == Token::Number) {
      minute = static_cast<int>(Take().value);
      if (Peek().kind == Token::Colon && Peek(1).kind == Token::Number) {
        Take();
        second = static_cast<int>(Take().value);
      }
    }
    if (Peek().kind == Token::Word) {
      const WordMeaning* meaning = Lookup(Peek().word);
      if (meaning != nullptr && meaning->kind == WordMeaning::Half) {
        Take();
        if (meaning->value == 1 && hour < 12) hour += 12;
      }
    }
    return true;
  }

  bool ApplyWord(const Token& token) {
    if (!localZoneQueried) {
      localZoneQueried = true;
      if (!zhost::QueryZone(localZone)) localZone = zhost::ZoneInfo();  // names stay empty
    }
    if (SameIgnoringCase(token.word, localZone.standardName)) return SetZone(-localZone.bias);
    if (SameIgnoringCase(token.word, localZone.daylightName)) {
      return SetZone(-(localZone.bias + localZone.daylightBias));
    }
    const WordMeaning* meaning = Lookup(token.word);
    if (meaning == nullptr) return false;
    switch (meaning->kind) {
      case WordMeaning::Month:
        if (month >= 0) return false;
        month = meaning->value;
        // "09-Oct-96": a dash and a number right after the month are the year.
        if (Peek().kind == Token::Minus && Peek().adjacent && Peek(1).kind == Token::Number && Peek(1).adjacent) {
          if (year >= 0) return false;
          Take();
          year = Year(Take().value);
        }
        return true;
      case WordMeaning::Weekday:
        if (weekday >= 0) return false;
        weekday = meaning->value;  // noted only: it never moves the date
        return true;
      case WordMeaning::Zone: return SetZone(meaning->value);
      default: return false;  // am/pm away from a time
    }
  }

  // "+hh", "+hh:mm" or "+hhmm"; the sign is already taken.
  bool ApplyZoneNumber(int sign) {
    if (zoneSet || Peek().kind != Token::Number) return false;
    Token number = Take();
    int minutes;
    if (number.digits <= 2) {
      minutes = static_cast<int>(number.value) * 60;
      if (Peek().kind == Token::Colon && Peek(1).kind == Token::Number) {
        Take();
        minutes += static_cast<int>(Take().value);
      }
    } else if (number.digits <= 4) {
      minutes = static_cast<int>(number.value / 100 * 60 + number.value % 100);
    } else {
      return false;
    }
    return SetZone(sign * minutes);
  }

  bool SetZone(int minutes) {
    if (zoneSet) return false;
    zoneSet = true;
    zoneValue = minutes;
    return true;
  }

  static const WordMeaning* Lookup(const char* word) {
    for (const WordMeaning& meaning : kWords) {
      if (std::strcmp(meaning.word, word) == 0) return &meaning;
    }
    return nullptr;
  }

  CharSource& source;
  Tokeniser tokens;
  Token queue[kLookAhead];
  int queued = 0;

  zhost::ZoneInfo localZone;  // asked once, at the first word
  bool localZoneQueried = false;

  int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1, weekday = -1;
  bool zoneSet = false;
  int zoneValue = 0;
};

// Parses from a source; answers the seconds value and whether it parsed.
bool ParseDate(CharSource& source, int64_t& seconds) {
  DateParser parser(source);
  CalendarFields fields;
  bool zoneGiven = false;
  int zone = 0;
  if (!parser.Run(fields, zoneGiven, zone)) {
    CalendarFields today = LocalToday();
    today.hour = today.minute = today.second = 0;
    seconds = LocalSeconds(today);
    return false;
  }
  seconds = zoneGiven ? UtcSeconds(fields) - static_cast<int64_t>(zone) * 60 : LocalSeconds(fields);
  return true;
}

}  // namespace

bool ZTime::Parse(const char* text) {
  TextSource source(text != nullptr ? text : "");
  return ParseDate(source, seconds);
}

void ZTime::ReadFrom(std::istream& in) {
  StreamSource source(in);
  ParseDate(source, seconds);
}
