// ZArgList: the program's arguments with a shift, and getopt-style options.
#include <cstdio>

#include "zunder/process.h"

void ZArgList::SetArgs(int32_t newCount, char** newValues) {
  count = newCount > 0 ? newCount : 0;
  values = newValues;
  shift = 0;
}

ZString ZArgList::GetParameter(int32_t index) const {
  const int32_t position = index + shift;
  if (index < 0 || position >= count || values == nullptr) {
    IllegalArgumentIndex(position);
    return ZString();
  }
  return ZString(values[position] != nullptr ? values[position] : "");
}

void ZArgList::Shift(int32_t n) {
  int32_t shifted = shift + n;
  if (shifted > count - 1) shifted = count - 1;
  if (shifted < 0) shifted = 0;
  shift = shifted;
}

ZIndex ZArgList::LetterIndex(char letter) const {
  if (letter == ':' || letter == '\0') return ZNotFound;
  return optionSpec.Find(letter);
}

int32_t ZArgList::GetOptionCount(char letter) const {
  const ZIndex index = LetterIndex(letter);
  if (index == ZNotFound || !optionCounts) return 0;
  return optionCounts[index];
}

int32_t ZArgList::GetOptionCount(const char* letter) const { return letter != nullptr ? GetOptionCount(letter[0]) : 0; }

ZString ZArgList::GetOptionString(char letter, const char* defaultValue) const {
  const ZIndex index = LetterIndex(letter);
  if (index == ZNotFound || !optionCounts || optionCounts[index] == 0) {
    return ZString(defaultValue != nullptr ? defaultValue : "");
  }
  return optionStrings[index];
}

void ZArgList::Parse(const char* spec) {
  optionSpec = spec != nullptr ? spec : "";
  const ZIndex specLength = optionSpec.GetLength();
  optionCounts = std::make_unique<int32_t[]>(specLength > 0 ? specLength : 1);
  optionStrings = ZStringArray();
  for (ZIndex i = 0; i < specLength; ++i) optionStrings.Append("");

  // The shifted leading arguments are gone for good.
  values += shift;
  count -= shift;
  shift = 0;

  while (count > 0 && values[0] != nullptr && values[0][0] == '-') {
    const char* argument = values[0];
    ++values;
    --count;
    if (argument[1] == '\0') break;  // a lone "-" ends the options

    for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
      const ZIndex index = LetterIndex(*letter);
      if (index == ZNotFound) {
        UnknownOption(*letter);
        continue;
      }
      ++optionCounts[index];
      if (index + 1 >= specLength || optionSpec[index + 1] != ':') continue;

      if (letter[1] != '\0') {  // the rest of this argument is the option's
        optionStrings[index] = letter + 1;
      } else if (count > 0) {
        optionStrings[index] = values[0] != nullptr ? values[0] : "";
        ++values;
        --count;
      } else {
        optionCounts[index] = 0;
        MissingArgument(*letter);
      }
      break;
    }
  }
}

void ZArgList::IllegalArgumentIndex(int32_t index) const {
  std::fprintf(stderr, "attempt to access undefined argument at index %d\n", index);
}

void ZArgList::UnknownOption(char letter) const { std::fprintf(stderr, "unknown option \"%c\"\n", letter); }

void ZArgList::MissingArgument(char letter) const { std::fprintf(stderr, "option \"%c\" requires argument\n", letter); }
