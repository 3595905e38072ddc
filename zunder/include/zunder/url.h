// ZURL: a URL split into its parts, the escaping of URL text, and the
// splitting of form data (a query or a posted body) into variables.
//
// Parsing never fails: parts that are missing stay empty, a port that is
// not a decimal number from 0 to 65535 is 0. The fields hold unescaped
// text, except the query, which stays escaped until SplitQueryVars. Runs of
// "/" in the path count once; a trailing "/" is kept as an empty last
// component.
// AsString writes a parsed path and parameters as they were read, as long as
// they are unchanged and that text reads back the same; otherwise it writes
// them from the fields, escaped where needed. Either way a written URL
// parses back to the same fields (a port equal to its scheme's default is
// written as none, an empty scheme is written as none and so reads back as
// "http", with a site the path is always written absolute, and a "?" or
// line break in the query comes back escaped).
#pragma once

#include <cstdint>

#include "zunder/strings.h"

class ZURL : public ZObject {
  Z_CLASS(ZURL, ZObject)
 public:
  // Forms of AsString.
  enum Form {
    FullForm = 0,  // scheme, site, path, parameters, query and fragment
    PathForm = 1,  // the path alone ("/a/b")
  };
  // Kinds of TranslateString.
  enum Kind {
    PathKind = 0,   // blanks become "%20"
    QueryKind = 1,  // blanks become "+"
  };
  // SplitQueryVars stores at most this many variables by default, so a
  // posted body cannot fill a dictionary without end.
  static constexpr ZIndex kMaxQueryVariables = 1000;

  ZURL();
  explicit ZURL(const char* text);
  ZURL(const ZURL& other) = default;
  ZURL& operator=(const ZURL& other) = default;

  // Replaces every field with those of the text.
  void Parse(const char* text);
  // The same for length bytes of a buffer (they end at a NUL byte).
  void Parse(const char* data, ZIndex length);

  ZString AsString(int form = FullForm) const;

  // Escapes the characters ";/?:@=&#%+" (and the blank, unless kind is
  // QueryKind) as "%" and two upper-case hexadecimal digits; for QueryKind
  // blanks then become "+".
  static ZString TranslateString(const char* text, int kind = PathKind);
  // "+" becomes a blank and "%" with two hexadecimal digits the byte they
  // denote; any other "%" stays, and so does "%00" (a string holds no NUL).
  static ZString UntranslateString(const char* text);
  // Splits "name=value&name=value" at every "&" and "=" and stores the
  // pieces in pairs, unescaped (a last name without a value gets an empty
  // one; a later pair of the same name replaces the earlier). Answers false
  // when more than maxVariables pairs were present: the rest were dropped.
  static bool SplitQueryVars(const char* query, ZStringToString& variables, ZIndex maxVariables = kMaxQueryVariables);
  // The port a scheme uses when none is named (compared without regard to
  // case); 0 for a scheme not in the table.
  static uint16_t GetDefaultPort(const char* scheme);

  // ---- fields
  const ZString& GetScheme() const { return scheme; }
  const ZString& GetUsername() const { return username; }
  const ZString& GetPassword() const { return password; }
  const ZString& GetHostname() const { return hostname; }
  uint16_t GetPort() const { return port; }
  const ZStringArray& GetPath() const { return path; }
  bool IsAbsolute() const { return absolute; }
  const ZString& GetParameters() const { return parameters; }
  const ZString& GetQuery() const { return query; }
  const ZString& GetFragment() const { return fragment; }

  void SetScheme(const ZString& text) { scheme = text; }
  void SetUsername(const ZString& text) { username = text; }
  void SetPassword(const ZString& text) { password = text; }
  void SetHostname(const ZString& text) { hostname = text; }
  void SetPort(uint16_t number) { port = number; }
  // An empty last component is written as a trailing "/".
  void SetPath(const ZStringArray& components);
  void SetAbsolute(bool isAbsolute);
  void SetParameters(const ZString& text);
  // The query is kept escaped: give it in its escaped form.
  void SetQuery(const ZString& text) { query = text; }
  void SetFragment(const ZString& text) { fragment = text; }

  // ---- ZObject
  ZObject* Clone() const override;
  // The full form.
  void Print(std::ostream& out) const override;

 private:
  void Clear();
  void ParseSite(const ZString& site);
  // Whether the path as read can stand for the path field, written after
  // what AsString writes in front of it and with parameters behind it or
  // not.
  bool PathTextFits(bool writesScheme, bool writesSite, bool writesParameters) const;

  ZString scheme;
  ZString username;
  ZString password;
  ZString hostname;
  uint16_t port = 0;
  ZStringArray path;
  bool absolute = true;
  ZString parameters;
  ZString query;
  ZString fragment;
  // The path and the parameters as Parse read them, still escaped; valid
  // until the fields they were read into are set.
  ZString pathText;
  ZString parametersText;
  bool pathTextValid = false;
  bool parametersTextValid = false;
};
