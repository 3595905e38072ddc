// ZString, ZCaselessString, the string collections and ZStringStream.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "support/assert_capture.h"
#include "zunder/strings.h"

namespace {

std::vector<std::string> Texts(const ZStringArray& array) {
  std::vector<std::string> texts;
  for (ZIndex i = 0; i < array.GetSize(); ++i) texts.emplace_back(array[i].Text());
  return texts;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------- storage

TEST(StringStorage, SizesAndSharing) {
  ZString empty;
  EXPECT_EQ(empty.GetSize(), 1);  // the terminator alone
  EXPECT_EQ(empty.GetLength(), 0);
  EXPECT_TRUE(empty.IsEmpty());

  ZString text("hello");
  EXPECT_EQ(text.GetSize(), 6);
  EXPECT_EQ(text.GetLength(), 5);
  EXPECT_EQ(ZString("abc\0def", 7).GetSize(), 8);
  EXPECT_EQ(ZString("abc\0def", 7).GetLength(), 3);  // length ends at the first NUL

  ZString copy = text;
  EXPECT_EQ(text.GetReferenceCount(), 2u);
  EXPECT_EQ(copy.Text(), text.Text());  // one buffer
  const ZString& same = copy;
  copy = same;  // self-assignment changes nothing
  EXPECT_EQ(copy.GetReferenceCount(), 2u);
  EXPECT_EQ(copy.Text(), text.Text());
  {
    ZString third = copy;
    EXPECT_EQ(text.GetReferenceCount(), 3u);
  }
  EXPECT_EQ(text.GetReferenceCount(), 2u);

  ZObject* clone = text.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_STREQ(clone->GetClass(), "ZString");
  EXPECT_NE(static_cast<ZString*>(clone)->Text(), text.Text());  // a private buffer
  EXPECT_STREQ(static_cast<ZString*>(clone)->Text(), "hello");
  delete clone;

  EXPECT_STREQ(ZString(u"A\u0142z").Text(), "ABz");  // low bytes of 16-bit units
  EXPECT_STREQ(ZString(u"xyz", 2).Text(), "xy");
}

TEST(StringStorage, ChangingACopyLeavesTheOriginal) {
  struct Change {
    const char* name;
    void (*apply)(ZString&);
    const char* expected;
  };
  const Change changes[] = {
      {"+=", [](ZString& s) { s += "!"; }, "hello!"},
      {"+= char", [](ZString& s) { s += 'x'; }, "hellox"},
      {"&=", [](ZString& s) { s &= "you"; }, "hello you"},
      {"SetCharAt", [](ZString& s) { s.SetCharAt(0, 'J'); }, "Jello"},
      {"Delete", [](ZString& s) { s.Delete(0, 1); }, "ello"},
      {"Splice", [](ZString& s) { s.Splice("y", 4, 1); }, "helly"},
      {"Replace", [](ZString& s) { s.Replace("l", "L", true); }, "heLLo"},
      {"sprintf", [](ZString& s) { s.sprintf("%d", 7); }, "hello7"},
      {"GetBuffer", [](ZString& s) { s.GetBuffer()[1] = 'a'; }, "hallo"},
      {"SetSize",
       [](ZString& s) {
         s.SetSize(3);
         s.GetBuffer()[2] = '\0';
       },
       "he"},
      {"assign", [](ZString& s) { s = "other"; }, "other"},
  };
  for (const Change& change : changes) {
    ZString original("hello");
    ZString copy = original;
    change.apply(copy);
    EXPECT_STREQ(copy.Text(), change.expected) << change.name;
    EXPECT_STREQ(original.Text(), "hello") << change.name;
    EXPECT_EQ(original.GetReferenceCount(), 1u) << change.name;
    EXPECT_EQ(copy.GetReferenceCount(), 1u) << change.name;
  }
}

TEST(StringStorage, SharedSetSizeCopiesWhatFits) {
  ZString original("abcdef");
  ZString copy = original;
  ASSERT_TRUE(copy.SetSize(10));
  EXPECT_EQ(copy.GetSize(), 10);
  EXPECT_STREQ(copy.Text(), "abcdef");
  for (ZIndex i = 6; i < 10; ++i) EXPECT_EQ(copy.Text()[i], '\0') << i;  // zeroed
  ZString shrunk = original;
  ASSERT_TRUE(shrunk.SetSize(3));
  EXPECT_EQ(shrunk.GetSize(), 3);
  EXPECT_EQ(std::string(shrunk.Text(), 3), "abc");
  EXPECT_STREQ(original.Text(), "abcdef");
}

TEST(StringStorage, OperandsInsideTheOwnBuffer) {
  ZString s("abcdef");
  s = s.Text() + 2;
  EXPECT_STREQ(s.Text(), "cdef");
  s += s.Text();
  EXPECT_STREQ(s.Text(), "cdefcdef");
  s &= s.Text() + 4;
  EXPECT_STREQ(s.Text(), "cdefcdef cdef");
  s.Splice(s.Text(), 0, 4);
  EXPECT_STREQ(s.Text(), "cdefcdef cdefcdef cdef");
  ZString t("xaxa");
  EXPECT_EQ(t.Replace(t.Text() + 1, t.Text(), true), 1);  // "axa" -> "xaxa"
  EXPECT_STREQ(t.Text(), "xxaxa");
}

TEST(StringStorage, CharacterAccess) {
  AssertCapture capture;
  ZString s("abc");
  EXPECT_EQ(s[0], 'a');
  EXPECT_EQ(s[2], 'c');
  EXPECT_EQ(s[3], '\0');
  EXPECT_EQ(s[100], '\0');
  EXPECT_EQ(capture.Count(), 0u);
  EXPECT_EQ(s[-1], '\0');
  EXPECT_EQ(capture.LastMessage(), "Invalid array index");

  s.SetCharAt(5, 'z');  // grows; the gap holds terminators
  EXPECT_GE(s.GetSize(), 7);
  EXPECT_STREQ(s.Text(), "abc");
  s.SetCharAt(3, 'd');
  s.SetCharAt(4, 'e');
  EXPECT_STREQ(s.Text(), "abcdez");
  EXPECT_EQ(s[5], 'z');

  ZString truncated("abcdef");
  truncated.Delete(2);
  EXPECT_EQ(truncated[4], '\0');  // behind the terminator
}

TEST(StringStorage, NullTextsAreReported) {
  AssertCapture capture;
  ZString s(static_cast<const char*>(nullptr));
  EXPECT_STREQ(s.Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Null pointer reference");
  capture.Clear();
  s += static_cast<const char*>(nullptr);
  EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), ZNotFound);
  EXPECT_EQ(capture.Count(), 2u);
  EXPECT_STREQ(s.Text(), "");
}

// ---------------------------------------------------------------- text operations

TEST(StringText, Joining) {
  struct Case {
    const char* left;
    const char* right;
    const char* joined;
  };
  const Case cases[] = {
      {"abc", "def", "abc def"},
      {"abc ", "def", "abc def"},
      {"abc", " def", "abc def"},
      {"", "def", "def"},
      {"abc", "", "abc "},  // the empty right part still gets the blank
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ((ZString(c.left) & c.right).Text(), c.joined) << c.left << "|" << c.right;
    EXPECT_STREQ((ZString(c.left) & ZString(c.right)).Text(), c.joined) << c.left << "|" << c.right;
    ZString inPlace(c.left);
    inPlace &= c.right;
    EXPECT_STREQ(inPlace.Text(), c.joined) << c.left << "|" << c.right;
  }

  ZString sum = ZString("ab") + "cde";
  EXPECT_STREQ(sum.Text(), "abcde");
  EXPECT_EQ(sum.GetSize(), 6);  // exactly both lengths and a terminator
  EXPECT_STREQ(("x" + ZString("y")).Text(), "xy");
  EXPECT_STREQ((ZString("x") + ZString("y")).Text(), "xy");
  EXPECT_STREQ((ZString("x") + 'z').Text(), "xz");
}

TEST(StringText, SubRanges) {
  const ZString s("abcdef");
  struct Case {
    const char* name;
    ZString result;
    const char* expected;
  };
  const Case cases[] = {
      {"Mid(2,to end)", s.Mid(2, ZToEnd), "cdef"},
      {"Mid(2)", s.Mid(2), "cdef"},
      {"Mid(1,2)", s.Mid(1, 2), "bc"},
      {"Mid(0,0)", s.Mid(0, 0), ""},
      {"Mid(6,1)", s.Mid(6, 1), ""},
      {"SubString(4,2)", s.SubString(4, 2), ""},
      {"SubString(2,100)", s.SubString(2, 100), "cdef"},
      {"SubString(3,3)", s.SubString(3, 3), "d"},
      {"SubString(7,9)", s.SubString(7, 9), ""},
      {"Left(0)", s.Left(0), ""},
      {"Left(3)", s.Left(3), "abc"},
      {"Left(9)", s.Left(9), "abcdef"},
      {"Right(0)", s.Right(0), ""},
      {"Right(2)", s.Right(2), "ef"},
      {"Right(6)", s.Right(6), "abcdef"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.result.Text(), c.expected) << c.name;

  // The whole string is shared, not copied.
  EXPECT_EQ(s.Left(6).Text(), s.Text());
  EXPECT_EQ(s.Right(100).Text(), s.Text());
  EXPECT_NE(s.Left(5).Text(), s.Text());
}

TEST(StringText, TrimAndCase) {
  struct Case {
    const char* text;
    const char* trim;
    const char* left;
    const char* right;
  };
  const Case cases[] = {
      {"  a b  ", "a b", "a b  ", "  a b"},
      {"\ta\t ", "\ta\t", "\ta\t ", "\ta\t"},  // only the blank counts
      {"   ", "", "", ""},
      {"", "", "", ""},
      {"x", "x", "x", "x"},
  };
  for (const Case& c : cases) {
    const ZString s(c.text);
    EXPECT_STREQ(s.Trim().Text(), c.trim) << "[" << c.text << "]";
    EXPECT_STREQ(s.LeftTrim().Text(), c.left) << "[" << c.text << "]";
    EXPECT_STREQ(s.RightTrim().Text(), c.right) << "[" << c.text << "]";
  }
  const ZString untrimmed("  ab");
  EXPECT_EQ(untrimmed.RightTrim().Text(), untrimmed.Text());  // shared

  EXPECT_STREQ(ZString("Hello, World \xc4").ToUpper().Text(), "HELLO, WORLD \xc4");
  EXPECT_STREQ(ZString("Hello, World \xc4").ToLower().Text(), "hello, world \xc4");
}

TEST(StringText, Tokenise) {
  struct Case {
    const char* text;
    const char* separators;
    bool each;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {" a b", " ", false, {"", "a", "b"}},
      {"a  b ", " ", false, {"a", "b"}},
      {"a,,b,", ",", true, {"a", "", "b", ""}},
      {",a", ",", true, {"", "a"}},
      {",,a", ",", false, {"", "a"}},
      {",,a", ",", true, {"", "", "a"}},
      {"a;b,c", ",;", false, {"a", "b", "c"}},
      {"abc", ",", false, {"abc"}},
      {"abc", ",", true, {"abc"}},
      {"", ",", true, {}},
      {",", ",", true, {"", ""}},
  };
  for (const Case& c : cases) {
    const ZStringArray tokens = ZString(c.text).Tokenise(c.separators, c.each);
    EXPECT_EQ(Texts(tokens), c.tokens) << "[" << c.text << "] each=" << c.each;
    for (ZIndex i = 0; i < tokens.GetSize(); ++i) EXPECT_NE(tokens.GetAt(i), nullptr) << c.text << " " << i;
  }
}

TEST(StringText, Lines) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"one\r\ntwo\n\nthree\r\n", {"one", "two", "", "three"}},
      {"single", {"single"}},
      {"", {}},
      {"a\n", {"a"}},
      {"\n", {""}},
      {"a\rb", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Texts(ZString(c.text).Lines()), c.lines) << c.text;
}

TEST(StringText, InPlaceChanges) {
  struct DeleteCase {
    ZIndex start;
    ZIndex count;
    bool answer;
    const char* result;
  };
  const DeleteCase deletes[] = {
      {2, 2, true, "abef"},   {2, ZToEnd, true, "ab"}, {0, 6, true, ""},       {5, 3, true, "abcde"},
      {6, 1, true, "abcdef"}, {7, 1, false, "abcdef"}, {0, 0, true, "abcdef"},
  };
  for (const DeleteCase& d : deletes) {
    ZString s("abcdef");
    EXPECT_EQ(s.Delete(d.start, d.count), d.answer) << d.start << "," << d.count;
    EXPECT_STREQ(s.Text(), d.result) << d.start << "," << d.count;
  }

  struct SpliceCase {
    const char* text;
    ZIndex position;
    ZIndex length;
    const char* result;
  };
  const SpliceCase splices[] = {
      {"XY", 2, 2, "abXYef"}, {"XY", 2, 0, "abXYcdef"},    {"XY", 6, 3, "abcdefXY"}, {"XY", 9, 0, "abcdefXY"},
      {"XY", 4, 2, "abcdXY"}, {"XY", 4, ZToEnd, "abcdXY"}, {"", 0, 3, "def"},
  };
  for (const SpliceCase& c : splices) {
    ZString s("abcdef");
    EXPECT_STREQ(s.Splice(c.text, c.position, c.length).Text(), c.result) << c.position << "," << c.length;
  }

  struct ReplaceCase {
    const char* text;
    const char* target;
    const char* substitute;
    bool all;
    ZIndex offset;
    ZIndex count;
    const char* result;
  };
  const ReplaceCase replaces[] = {
      {"abcd", "cd", "X", false, 0, 1, "abX"},  {"abab", "ab", "x", false, 0, 1, "xab"},
      {"abab", "ab", "x", true, 0, 2, "xx"},    {"abab", "ab", "x", true, 1, 1, "abx"},
      {"aaa", "a", "aa", true, 0, 3, "aaaaaa"},  // continues behind the inserted text
      {"abc", "", "X", true, 0, 0, "abc"},      {"abc", "z", "X", true, 0, 0, "abc"},
  };
  for (const ReplaceCase& c : replaces) {
    ZString s(c.text);
    EXPECT_EQ(s.Replace(c.target, c.substitute, c.all, c.offset), c.count) << c.text << " " << c.target;
    EXPECT_STREQ(s.Text(), c.result) << c.text << " " << c.target;
  }
}

// ---------------------------------------------------------------- searches

TEST(StringSearch, FindEdges) {
  const ZString s("abcabc");
  EXPECT_EQ(s.Find('c'), 2);
  EXPECT_EQ(s.Find('c', 3), 5);
  EXPECT_EQ(s.Find('c', 6), ZNotFound);
  EXPECT_EQ(s.Find('z'), ZNotFound);
  EXPECT_EQ(s.Find(""), 0);
  EXPECT_EQ(s.Find("", 3), 3);  // the empty text is found at the offset
  EXPECT_EQ(s.Find("", 6), 6);
  EXPECT_EQ(s.Find("", 7), ZNotFound);
  EXPECT_EQ(s.Find("bc", 2), 4);
  EXPECT_EQ(s.Find("bc", 5), ZNotFound);
  EXPECT_EQ(s.Find("abcabcx"), ZNotFound);
  EXPECT_EQ(s.Find("ABC"), ZNotFound);

  // Long strings use the rolling sum; "ba" has the same sum as "ab".
  const ZString longer("xxxxxxxxxxxxxbaxab");
  EXPECT_EQ(longer.Find("ab"), 16);
  EXPECT_EQ(longer.Find("ab", 17), ZNotFound);
  EXPECT_EQ(longer.Find("", 12), 12);

  EXPECT_EQ(s.FindLast('b'), 4);
  EXPECT_EQ(s.FindLast('b', 3), 1);
  EXPECT_EQ(s.FindLast('a', 0), 0);
  EXPECT_EQ(s.FindLast('z'), ZNotFound);
  EXPECT_EQ(ZString().FindLast('a'), ZNotFound);

  EXPECT_EQ(s.FindOneOf("xc"), 2);
  EXPECT_EQ(s.FindOneOf("cb", 3), 4);
  EXPECT_EQ(s.FindOneOf("xyz"), ZNotFound);
  EXPECT_EQ(s.FindOneOf(""), ZNotFound);
}

TEST(StringSearch, FindAgreesWithAPlainSearch) {
  // Pseudo-random texts over a small alphabet, so that matches, near misses
  // and equal rolling sums are common; both string classes.
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % range;
  };
  const char alphabet[] = "abAB";
  for (int round = 0; round < 400; ++round) {
    std::string text, sought;
    const uint32_t textLength = next(40);
    const uint32_t soughtLength = next(5);
    for (uint32_t i = 0; i < textLength; ++i) text += alphabet[next(4)];
    for (uint32_t i = 0; i < soughtLength; ++i) sought += alphabet[next(4)];
    const auto offset = static_cast<ZIndex>(next(textLength + 1));

    const size_t plain = text.find(sought, static_cast<size_t>(offset));
    const ZIndex expected = plain == std::string::npos ? ZNotFound : static_cast<ZIndex>(plain);
    EXPECT_EQ(ZString(text.c_str()).Find(sought.c_str(), offset), expected) << text << " / " << sought;

    const size_t caseless = Upper(text).find(Upper(sought), static_cast<size_t>(offset));
    const ZIndex expectedCaseless = caseless == std::string::npos ? ZNotFound : static_cast<ZIndex>(caseless);
    EXPECT_EQ(ZCaselessString(text.c_str()).Find(sought.c_str(), offset), expectedCaseless) << text << " / " << sought;
  }
}

// ---------------------------------------------------------------- comparison

TEST(StringCompare, CaseSensitiveAndCaseless) {
  EXPECT_TRUE(ZString("abc") == "abc");
  EXPECT_TRUE(ZString("abc") != "abd");
  EXPECT_TRUE(ZString("abc") < "abd");
  EXPECT_TRUE(ZString("ab") < "abc");
  EXPECT_TRUE(ZString("b") > ZString("abc"));
  EXPECT_TRUE(ZString("abc") <= "abc");
  EXPECT_TRUE(ZString("abc") >= ZString("abc"));
  EXPECT_FALSE(ZString("Abc") == "abc");
  // Plain strings compare bytes unsigned: 0x80 sorts after 'a'.
  EXPECT_TRUE(ZString("\x80") > "a");
  EXPECT_EQ(ZString("hello").CompareAt(1, 3, "ellx"), EqualTo);  // only three bytes
  EXPECT_EQ(ZString("hello").CompareAt(1, 4, "ellx"), LessThan);
  EXPECT_EQ(ZString("hello").CompareAt(10, 2, ""), EqualTo);  // past the text: empty
  EXPECT_EQ(ZString("abc").CompareAt(0, 'a'), EqualTo);
  EXPECT_EQ(ZString("abc").CompareAt(0, 'A'), GreaterThan);
  EXPECT_EQ(ZString("\x80").CompareAt(0, 'a'), LessThan);  // one character: signed

  const ZCaselessString type("Content-Type");
  EXPECT_TRUE(type == "content-type");
  EXPECT_TRUE(type == ZString("CONTENT-TYPE"));
  EXPECT_EQ(type.Compare(ZString("content-TYPE")), EqualTo);
  EXPECT_TRUE(type < "content-typf");
  EXPECT_TRUE(type > "content-typ");
  EXPECT_EQ(type.Find("TYPE"), 8);
  EXPECT_EQ(type.Find('t'), 3);
  EXPECT_EQ(type.FindLast('C'), 0);
  EXPECT_EQ(type.FindOneOf("YX"), 9);
  // Caseless strings compare signed: 0x80-0xFF sort before ASCII.
  EXPECT_TRUE(ZCaselessString("\x80") < "a");
  EXPECT_TRUE(ZCaselessString("\xff") < "\x01");
  EXPECT_TRUE(ZCaselessString("a") > "\xe9");
  EXPECT_EQ(ZCaselessString("abc").CompareAt(0, 2, "ABx"), EqualTo);
  ZObject* clone = type.Clone();
  EXPECT_TRUE(clone->IsClass("ZCaselessString"));
  delete clone;

  EXPECT_TRUE(ZString("Content-Type") *= "content-type");
  EXPECT_FALSE(ZString("Content-Type") *= "content-typ");
  EXPECT_FALSE(ZString("Content") *= "content-type");

  ZCaselessString replaced("One one ONE");
  EXPECT_EQ(replaced.Replace("one", "2", true), 3);
  EXPECT_STREQ(replaced.Text(), "2 2 2");
}

TEST(StringCompare, CompareWithAnotherClassIsReported) {
  AssertCapture capture;
  ZOrdinalKey key(3);
  ZString s("x");
  s.Compare(key);
  EXPECT_EQ(capture.LastMessage(), "Invalid cast to non-descendant class");
}

TEST(StringCompare, Hash) {
  EXPECT_EQ(ZString().Hash(), 0u);
  EXPECT_EQ(ZString("ab").Hash(), ZString("AB").Hash());
  EXPECT_EQ(ZString("ab").Hash(), (65u + 66u) % 23u);
  EXPECT_EQ(ZString("abc").Hash(), (65u + 66u + 67u) % 23u);
  EXPECT_EQ(ZString("abcdef").Hash(), ZString("ABCxyz").Hash());  // three characters only
  EXPECT_EQ(ZString("\xff").Hash(), 255u % 23u);                  // unsigned codes
  EXPECT_EQ(ZCaselessString("Ab").Hash(), ZString("aB").Hash());
}

// ---------------------------------------------------------------- numbers

TEST(StringNumbers, AsIntegerAndAsReal) {
  struct Case {
    const char* text;
    int base;
    int32_t value;
  };
  const Case cases[] = {
      {"42", 10, 42},
      {"  -17", 10, -17},
      {"+8", 10, 8},
      {"ff", 16, 255},
      {"0x1F", 16, 31},
      {"z", 36, 35},
      {"101", 2, 5},
      {"12abc", 10, 12},
      {"abc", 10, 0},
      {"", 10, 0},
      {"99999999999", 10, INT32_MAX},
      {"-99999999999", 10, INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(ZString(c.text).AsInteger(c.base), c.value) << c.text;
  EXPECT_DOUBLE_EQ(ZString("3.5e2x").AsReal(), 350.0);
  EXPECT_DOUBLE_EQ(ZString("junk").AsReal(), 0.0);

  AssertCapture capture;
  for (int base : {0, 1, 37}) {
    capture.Clear();
    EXPECT_EQ(ZString("10").AsInteger(base), 0);
    EXPECT_EQ(capture.LastMessage(), "Invalid parameter") << base;
  }
}

TEST(StringNumbers, ConversionConstructor) {
  struct Case {
    const char* name;
    ZString result;
    const char* expected;
  };
  const unsigned char prefixed[] = {3, 'a', 'b', 'c', 'd'};
  const unsigned char emptyPrefixed[] = {0, 'a'};
  const unsigned char prefixed16[] = {2, 0, 'x', 'y', 'z'};
  const Case cases[] = {
      {"unsigned max", ZString(ZString::Unsigned, 4294967295u, 10), "4294967295"},
      {"unsigned max hex", ZString(ZString::Unsigned, 4294967295u, 16), "FFFFFFFF"},
      {"unsigned 2^31", ZString(ZString::Unsigned, 2147483648u, 10), "2147483648"},
      {"unsigned binary", ZString(ZString::Unsigned, 255u, 2), "11111111"},
      {"unsigned zero", ZString(ZString::Unsigned, 0u, 10), "0"},
      {"signed min", ZString(ZString::Signed, INT32_MIN, 10), "-2147483648"},
      {"signed min hex", ZString(ZString::Signed, INT32_MIN, 16), "-80000000"},
      {"signed max", ZString(ZString::Signed, INT32_MAX, 10), "2147483647"},
      {"signed negative", ZString(ZString::Signed, -255, 16), "-FF"},
      {"signed base 36", ZString(ZString::Signed, 35, 36), "Z"},
      {"decimal", ZString(ZString::Decimal, 3.14159, 2), "3.14"},
      {"decimal no places", ZString(ZString::Decimal, 2.5, 0), "2"},
      {"exponent", ZString(ZString::Exponent, 1234.5, 2), "1.23e+03"},
      {"printf", ZString(ZString::Printf, "%d-%s", 5, "x"), "5-x"},
      {"length prefixed", ZString(ZString::LengthPrefixed, prefixed), "abc"},
      {"length prefixed empty", ZString(ZString::LengthPrefixed, emptyPrefixed), ""},
      {"length prefixed 16", ZString(ZString::LengthPrefixed16, prefixed16), "xy"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.result.Text(), c.expected) << c.name;
    EXPECT_EQ(c.result.GetSize(), c.result.GetLength() + 1) << c.name;  // cut to the text
  }

  AssertCapture capture;
  EXPECT_STREQ(ZString(ZString::Signed, 10, 1).Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Invalid parameter");
  capture.Clear();
  EXPECT_STREQ(ZString(ZString::Unsigned, 10u, 37).Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Invalid parameter");
  capture.Clear();
  EXPECT_STREQ(ZString(static_cast<ZString::Conversion>(8), "x").Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Invalid parameter");
}

// ---------------------------------------------------------------- literals

TEST(StringLiteral, Decoding) {
  struct Case {
    const char* literal;
    std::string decoded;
  };
  const Case cases[] = {
      {"\"abc\"", "abc"},
      {"abc", "abc"},
      {"\"", ""},
      {"\"\"", ""},
      {"a\"b", "a\"b"},  // only a final quote ends the text
      {"\\a\\b\\f\\n\\r\\t\\v", "\a\b\f\n\r\t\v"},
      {"\\x41", "A"},
      {"\\x4a", "J"},
      {"\\x4A2", "J2"},  // two hex digits at most
      {"\\x7", "\x07"},
      {"\\xg", "xg"},  // no digit: the x stands for itself
      {"\\101", "A"},
      {"\\1012", "A2"},  // three octal digits at most
      {"\\7", "\x07"},
      {"\\18", std::string("\x01") + "8"},
      {"\\477", "'7"},  // first digit 4-7: two digits at most
      {"\\377", "\xff"},
      {"\\q", "q"},
      {"\\\\", "\\"},
      {"\\\"", "\""},
      {"\"a\\\"\"", "a\""},
      {"abc\\", "abc"},  // a lone final backslash stands for nothing
  };
  for (const Case& c : cases) {
    const ZString decoded(ZString::Literal, c.literal);
    EXPECT_EQ(std::string(decoded.Text()), c.decoded) << c.literal;
  }
}

TEST(StringLiteral, EncodingAndRoundTrip) {
  struct Case {
    const char* text;
    const char* literal;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"plain text 1.", "\"plain text 1.\""},
      {"a\"b", "\"a\\\"b\""},
      {"\a\b\f\n\r\t\v", "\"\\a\\b\\f\\n\\r\\t\\v\""},
      {"\x01\x1b\x7f\x80\xff", "\"\\001\\033\\177\\200\\377\""},
      {"a\\b", "\"a\\b\""},  // the backslash is copied unescaped
  };
  for (const Case& c : cases) EXPECT_STREQ(ZString(c.text).ToLiteral().Text(), c.literal) << c.text;

  // Every byte but the backslash survives encoding and decoding.
  std::string all;
  for (int c = 1; c < 256; ++c) {
    if (c != '\\') all += static_cast<char>(c);
  }
  all += "7";  // an octal escape followed by a digit
  const ZString original(all.c_str());
  const ZString decoded(ZString::Literal, original.ToLiteral().Text());
  EXPECT_EQ(std::string(decoded.Text()), all);
}

TEST(StringLiteral, ToPascal) {
  const ZBaseArray pascal = ZString("abc").ToPascal();
  ASSERT_EQ(pascal.GetSize(), 4);
  EXPECT_EQ(pascal.Get<unsigned char>(0), 3);
  EXPECT_EQ(pascal.Get<char>(1), 'a');
  EXPECT_EQ(pascal.Get<char>(3), 'c');

  const std::string longest(255, 'x');
  const ZBaseArray full = ZString(longest.c_str()).ToPascal();
  EXPECT_EQ(full.GetSize(), 256);
  EXPECT_EQ(full.Get<unsigned char>(0), 255);

  AssertCapture capture;
  const std::string tooLong(256, 'x');
  EXPECT_EQ(ZString(tooLong.c_str()).ToPascal().GetSize(), 0);
  EXPECT_EQ(capture.LastMessage(), "Cannot convert to PASCAL string");
}

// ---------------------------------------------------------------- formatting

TEST(StringFormat, SprintfAppends) {
  ZString s("n=");
  s.sprintf("%d, %s", 12, "ok");
  EXPECT_STREQ(s.Text(), "n=12, ok");
  EXPECT_EQ(s.GetSize(), s.GetLength() + 1);  // cut back after formatting
  EXPECT_STREQ(FormatText("%05.1f|%x", 3.14159, 255u).Text(), "003.1|ff");

  ZString shared = s;
  shared.sprintf("!");
  EXPECT_STREQ(shared.Text(), "n=12, ok!");
  EXPECT_STREQ(s.Text(), "n=12, ok");

  // 999 characters in all is still allowed.
  const std::string most(990, 'a');
  ZString edge(most.c_str());
  edge.sprintf("%s", "123456789");
  EXPECT_EQ(edge.GetLength(), 999);
}

TEST(StringFormat, TooLargeIsReportedAndBounded) {
  AssertCapture capture;
  const std::string huge(5000, 'x');
  // Sanitizer builds catch any write past the 1000-byte bound here.
  ZString s("head:");
  s.sprintf("%s", huge.c_str());
  EXPECT_EQ(capture.LastMessage(), "Single sprintf() too large");
  EXPECT_EQ(s.GetLength(), 999);  // truncated below the bound
  EXPECT_EQ(std::string(s.Text(), 5), "head:");
  EXPECT_EQ(s.GetSize(), 1000);

  capture.Clear();
  const ZString formatted = FormatText("%s", huge.c_str());
  EXPECT_EQ(capture.Count(), 1u);
  EXPECT_EQ(formatted.GetLength(), 999);

  // A text already past the limit keeps itself; nothing more fits.
  capture.Clear();
  ZString longText(huge.c_str());
  longText.sprintf("%d", 1);
  EXPECT_EQ(capture.Count(), 1u);
  EXPECT_EQ(longText.GetLength(), 5000);

  capture.Clear();
  const std::string most(990, 'a');
  ZString edge(most.c_str());
  edge.sprintf("%s", "0123456789");  // exactly 1000
  EXPECT_EQ(capture.Count(), 1u);
  EXPECT_EQ(edge.GetLength(), 999);
}

// ---------------------------------------------------------------- streams

TEST(StringStreaming, PrintAndReadLines) {
  std::ostringstream out;
  out << ZString("text") << '|' << ZCaselessString("more");
  EXPECT_EQ(out.str(), "text|more");

  const std::string longLine(250, 'L');
  std::istringstream in("one\r\ntwo\n\n" + longLine + "\nlast");
  const std::vector<std::string> expected = {"one\r", "two", "", longLine, "last"};
  ZString line("previous");
  for (const std::string& wanted : expected) {
    line.ReadFrom(in);
    EXPECT_EQ(std::string(line.Text()), wanted);
    EXPECT_FALSE(in.fail()) << wanted;  // the unterminated last line reads too
  }
  EXPECT_TRUE(in.eof());
  in >> line;
  EXPECT_TRUE(in.fail());
  EXPECT_STREQ(line.Text(), "");
}

// ---------------------------------------------------------------- collections

TEST(StringCollections, ArrayGrowsOnWrite) {
  ZStringArray array;
  array[3] = "x";
  EXPECT_EQ(array.GetSize(), 4);
  for (ZIndex i = 0; i < 3; ++i) {
    ASSERT_NE(array.GetAt(i), nullptr) << i;
    EXPECT_STREQ(array[i].Text(), "") << i;
  }
  EXPECT_STREQ(array[3].Text(), "x");
  const ZStringArray& reading = array;
  EXPECT_STREQ(reading[10].Text(), "");  // reading does not grow
  EXPECT_EQ(array.GetSize(), 4);
  array.Append("y");
  array.Append(ZString("z"));
  EXPECT_EQ(Texts(array), (std::vector<std::string>{"", "", "", "x", "y", "z"}));

  const char* const texts[] = {"Alpha", "beta"};
  const ZStringArray caseless(2, texts, true);
  ASSERT_EQ(caseless.GetSize(), 2);
  EXPECT_TRUE(caseless.GetAt(0)->IsClass("ZCaselessString"));
  EXPECT_TRUE(caseless[0] == "ALPHA");
  EXPECT_TRUE(ZStringArray(2, texts).GetAt(1)->IsClass("ZString"));

  ZObject* clone = array.Clone();
  auto* copy = static_cast<ZStringArray*>(clone);
  (*copy)[0] = "changed";
  EXPECT_STREQ(array[0].Text(), "");
  EXPECT_STREQ((*copy)[0].Text(), "changed");
  delete clone;
}

TEST(StringCollections, ListsAndSets) {
  ZSortedStringList sorted;
  for (const char* text : {"pear", "apple", "fig", "Zebra"}) sorted.Append(text);
  ASSERT_EQ(sorted.GetSize(), 4);
  const char* order[] = {"Zebra", "apple", "fig", "pear"};  // byte order
  for (ZIndex i = 0; i < 4; ++i) EXPECT_STREQ(sorted[i]->Text(), order[i]) << i;

  ZStringList list;
  list.Append("one");
  list.Append(ZString("two"));
  ASSERT_EQ(list.GetSize(), 2);
  EXPECT_STREQ(list[1]->Text(), "two");

  ZStringSet set;
  set.Append("a");
  set.Append("b");
  set.Append("a");  // replaces the equal one
  EXPECT_EQ(set.GetSize(), 2);
  EXPECT_TRUE(set.Contains("a"));
  EXPECT_FALSE(set.Contains("A"));
}

TEST(StringCollections, DictionaryKeysDifferingInCaseShareABucket) {
  ZStringDictionary dictionary;
  dictionary.SetAt("a", new ZString("lower"));
  dictionary.SetAt("A", new ZString("upper"));
  dictionary.SetAt("b", new ZString("bee"));
  EXPECT_EQ(dictionary.GetSize(), 3);
  EXPECT_STREQ(static_cast<ZString*>(dictionary.GetAt("a"))->Text(), "lower");
  EXPECT_STREQ(static_cast<ZString*>(dictionary.GetAt("A"))->Text(), "upper");
  // Index order is by bucket, then insertion: 'a' and 'A' share one bucket
  // and 'b' lies in the next.
  EXPECT_STREQ(dictionary.GetKeyAt(0)->Text(), "a");
  EXPECT_STREQ(dictionary.GetKeyAt(1)->Text(), "A");
  EXPECT_STREQ(dictionary.GetKeyAt(2)->Text(), "b");
  EXPECT_EQ(dictionary.GetKeyAt(0)->Hash(), dictionary.GetKeyAt(1)->Hash());
  dictionary.SetAt("A", nullptr);
  EXPECT_EQ(dictionary.GetSize(), 2);
  EXPECT_EQ(dictionary.GetAt("A"), nullptr);
  EXPECT_NE(dictionary.GetAt("a"), nullptr);
}

TEST(StringCollections, StringToString) {
  const ZStringToString::Pair pairs[] = {{"Content-Type", "text/html"}, {"Server", "Moatkeep"}};
  ZStringToString caseless(2, pairs, true);
  ASSERT_EQ(caseless.GetSize(), 2);
  ASSERT_NE(caseless.GetAt("content-type"), nullptr);
  EXPECT_STREQ(caseless.GetAt("CONTENT-TYPE")->Text(), "text/html");
  EXPECT_STREQ(caseless["server"].Text(), "Moatkeep");
  caseless.SetAt("SERVER", "other");  // the same key
  EXPECT_EQ(caseless.GetSize(), 2);
  EXPECT_STREQ(caseless["Server"].Text(), "other");
  EXPECT_TRUE(caseless.RemoveAt("content-TYPE"));
  EXPECT_EQ(caseless.GetSize(), 1);
  EXPECT_TRUE(caseless.HasCaselessKeys());

  ZStringToString exact(2, pairs);
  EXPECT_EQ(exact.GetAt("content-type"), nullptr);
  EXPECT_NE(exact.GetAt("Content-Type"), nullptr);
  EXPECT_FALSE(exact.RemoveAt("server"));

  // The stored value shares the given string's buffer.
  const ZString value("shared");
  ZStringToString values(false, true);
  values.SetAt("k", value);
  EXPECT_EQ(values.GetAt("k")->Text(), value.Text());
  EXPECT_TRUE(values.GetDataAt(0)->IsClass("ZCaselessString"));
  EXPECT_TRUE(*values.GetAt("k") == "SHARED");

  ZObject* clone = caseless.Clone();
  EXPECT_NE(static_cast<ZStringToString*>(clone)->GetAt("SERVER"), nullptr);
  delete clone;

  AssertCapture capture;
  EXPECT_STREQ(exact["missing"].Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Null pointer reference");
}

TEST(StringCollections, OrdinalDictionaries) {
  const ZStringToOrdinal::Pair names[] = {{"GET", 1}, {"POST", 2}};
  ZStringToOrdinal methods(2, names, true);
  int32_t value = 0;
  EXPECT_TRUE(methods.Lookup("get", value));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(methods["Post"], 2);
  methods.SetAt("post", 3);
  EXPECT_EQ(methods.GetSize(), 2);
  EXPECT_EQ(methods["POST"], 3);
  EXPECT_FALSE(methods.Lookup("HEAD", value));
  EXPECT_TRUE(methods.RemoveAt("Get"));
  EXPECT_EQ(methods.GetSize(), 1);
  EXPECT_STREQ(methods.GetKeyAt(0)->Text(), "POST");
  EXPECT_EQ(methods.GetValueAt(0), 3);

  const ZOrdinalToString::Pair codes[] = {{200, "OK"}, {404, "Not Found"}};
  ZOrdinalToString reasons(2, codes);
  ASSERT_NE(reasons.GetAt(404), nullptr);
  EXPECT_STREQ(reasons.GetAt(404)->Text(), "Not Found");
  EXPECT_STREQ(reasons[200].Text(), "OK");
  EXPECT_EQ(reasons.GetAt(500), nullptr);
  reasons.SetAt(500, "Server Error");
  EXPECT_EQ(reasons.GetSize(), 3);
  bool seen = false;
  for (ZIndex i = 0; i < reasons.GetSize(); ++i) {
    if (reasons.GetKeyAt(i) == 500) seen = std::string(reasons.GetDataAt(i)->Text()) == "Server Error";
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(reasons.RemoveAt(200));
  EXPECT_EQ(reasons.GetAt(200), nullptr);

  AssertCapture capture;
  EXPECT_EQ(methods["missing"], 0);
  EXPECT_EQ(capture.LastMessage(), "Null pointer reference");
  capture.Clear();
  EXPECT_STREQ(reasons[999].Text(), "");
  EXPECT_EQ(capture.LastMessage(), "Null pointer reference");
}

// ---------------------------------------------------------------- ZStringStream

TEST(StringStream, WritingFillsTheString) {
  ZStringStream stream;
  EXPECT_EQ(stream.GetSize(), 1);
  stream << 'a';
  EXPECT_EQ(stream.GetSize(), 11);  // grown by ten bytes at the end of the buffer
  stream << "bc" << 42 << ' ' << 1.5;
  EXPECT_STREQ(stream.Text(), "abc42 1.5");
  EXPECT_EQ(stream.GetWritePosition(), 9);
  EXPECT_EQ(stream.GetSize(), 11);
  stream << "defgh";
  EXPECT_STREQ(stream.Text(), "abc42 1.5defgh");
  EXPECT_EQ(stream.GetSize(), 21);

  // A copy of the string keeps its text while the stream writes on.
  const ZString snapshot = stream;
  stream << "!";
  EXPECT_STREQ(snapshot.Text(), "abc42 1.5defgh");
  EXPECT_STREQ(stream.Text(), "abc42 1.5defgh!");

  ZStringStream appended("start");
  appended << "+end";
  EXPECT_STREQ(appended.Text(), "start+end");
}

TEST(StringStream, ReadingAndSeeking) {
  ZStringStream stream("12 words here\nsecond line");
  int number = 0;
  std::string word;
  stream >> number >> word;
  EXPECT_EQ(number, 12);
  EXPECT_EQ(word, "words");
  EXPECT_EQ(stream.GetReadPosition(), 8);
  std::string rest;
  std::getline(stream, rest);
  EXPECT_EQ(rest, " here");
  std::getline(stream, rest);
  EXPECT_EQ(rest, "second line");
  EXPECT_TRUE(stream.eof());

  // Seeking clears the end state; positions are clamped to the text.
  EXPECT_EQ(stream.Seek(3, 0, ZStringStream::SeekRead), 3);
  EXPECT_TRUE(stream.good());
  stream >> word;
  EXPECT_EQ(word, "words");
  EXPECT_EQ(stream.Seek(-2, 1, ZStringStream::SeekRead), 6);
  EXPECT_EQ(stream.Seek(100, 0, ZStringStream::SeekRead), 25);
  EXPECT_EQ(stream.Seek(-100, 2, ZStringStream::SeekRead), 0);
  EXPECT_EQ(stream.Seek(-4, 2, ZStringStream::SeekRead), 21);
  stream >> word;
  EXPECT_EQ(word, "line");

  // Writing after a seek of the write position overwrites in place.
  EXPECT_EQ(stream.Seek(0, 0, ZStringStream::SeekWrite), 0);
  EXPECT_EQ(stream.GetReadPosition(), 25);
  stream << "99";
  EXPECT_EQ(std::string(stream.Text(), 5), "99 wo");
  EXPECT_EQ(stream.GetLength(), 25);
  EXPECT_EQ(stream.Seek(1, 0, ZStringStream::SeekBoth), 1);
  EXPECT_EQ(stream.GetWritePosition(), 1);

  // The standard interface maps onto the same positions.
  stream.seekg(0);
  EXPECT_EQ(stream.tellg(), 0);
  stream >> number;
  EXPECT_EQ(number, 99);
  EXPECT_EQ(stream.tellg(), 2);

  AssertCapture capture;
  EXPECT_EQ(stream.Seek(0, 3, ZStringStream::SeekRead), 2);  // unchanged
  EXPECT_EQ(capture.LastMessage(), "Invalid parameter");
}
