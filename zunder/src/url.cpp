// ZURL: parsing, writing and escaping of URLs, and form variables.
#include "zunder/url.h"

#include <cstring>
#include <ostream>
#include <string>

namespace {

// Characters that delimit the parts of a URL; escaped by TranslateString.
constexpr const char* kReserved = ";/?:@=&#%+";

constexpr const char kHexDigits[] = "0123456789ABCDEF";

struct DefaultPort {
  const char* scheme;
  uint16_t port;
};

constexpr DefaultPort kDefaultPorts[] = {
    {"http", 80}, {"ftp", 21}, {"gopher", 70}, {"nntp", 119}, {"telnet", 23}, {"wais", 210}, {"prospero", 1525},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendEscaped(std::string& out, unsigned char c) {
  out.push_back('%');
  out.push_back(kHexDigits[c >> 4]);
  out.push_back(kHexDigits[c & 0x0f]);
}

// Bytes that must never appear raw in a written URL: they would end the
// request line or header it is written into, or are not URL characters.
bool IsUnsafe(unsigned char c) { return c < 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>'; }

// A part of a written URL other than the query: everything that would be
// read as a delimiter, and unsafe bytes, is escaped.
ZString EscapePart(const ZString& text) {
  std::string out;
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (std::strchr(kReserved, c) != nullptr || c == ' ' || IsUnsafe(c)) {
      AppendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return ZString(out.c_str());
}

// Parameters are read behind the last ";" and before the query and the
// fragment, so only ";", "?" and "#" would move their bounds; "+" and a "%"
// that starts an escape would read back as something else. Everything else
// stays as it is, "=" and "&" above all, which servers read as they are.
ZString EscapeParameters(const ZString& text) {
  std::string out;
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    // UntranslateString leaves "%00" as it is.
    const bool startsEscape = c == '%' && HexValue(p[1]) >= 0 && HexValue(p[2]) >= 0 && (p[1] != '0' || p[2] != '0');
    if (std::strchr(";?#+", c) != nullptr || c == ' ' || IsUnsafe(c) || startsEscape) {
      AppendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return ZString(out.c_str());
}

// Whether text as read can be written again as it is: no byte that must
// never appear raw, and none of the delimiters that would move the bounds
// of the parts written behind it (the query and the fragment start at the
// last "?" and "#"; a ";" is only safe when parameters follow it).
bool TextAsReadFits(const ZString& text, bool parametersFollow) {
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (IsUnsafe(c) || c == ' ' || c == '?' || c == '#' || (c == ';' && !parametersFollow)) return false;
  }
  return true;
}

// The query is kept escaped; only a "?" (which would move its start) and
// line breaks are escaped when it is written. A "#" in it stays: the
// fragment mark written after it is the last "#" of the URL.
ZString EscapeQuery(const ZString& text) {
  std::string out;
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '?' || c == '\r' || c == '\n') {
      AppendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return ZString(out.c_str());
}

// A decimal port of 1 to 5 digits up to 65535; anything else is 0.
uint16_t ParsePort(const ZString& text) {
  const ZIndex length = text.GetLength();
  if (length == 0 || length > 5) return 0;
  uint32_t value = 0;
  for (ZIndex i = 0; i < length; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

ZURL::ZURL() : scheme("http") {}

ZURL::ZURL(const char* text) : ZURL() { Parse(text); }

void ZURL::SetPath(const ZStringArray& components) {
  path = components;
  pathTextValid = false;
}

void ZURL::SetAbsolute(bool isAbsolute) {
  if (isAbsolute != absolute) pathTextValid = false;
  absolute = isAbsolute;
}

void ZURL::SetParameters(const ZString& text) {
  parameters = text;
  parametersTextValid = false;
}

void ZURL::Clear() {
  pathText = "";
  parametersText = "";
  pathTextValid = false;
  parametersTextValid = false;
  scheme = "http";
  username = "";
  password = "";
  hostname = "";
  port = 0;
  path = ZStringArray();
  absolute = true;
  parameters = "";
  query = "";
  fragment = "";
}

void ZURL::Parse(const char* data, ZIndex length) {
  if (data == nullptr || length <= 0) {
    Parse("");
    return;
  }
  Parse(ZString(data, length).Text());
}

void ZURL::Parse(const char* text) {
  Clear();
  ZString rest(text != nullptr ? text : "");

  // Scheme: a ":" before any character that starts another part.
  const ZIndex schemeEnd = rest.FindOneOf(":=;/#?");
  if (schemeEnd != ZNotFound && rest[schemeEnd] == ':') {
    scheme = UntranslateString(rest.Left(schemeEnd));
    rest = rest.Mid(schemeEnd + 1);
  }

  // Site: "//" then everything up to the next "/".
  if (rest.CompareAt(0, 2, "//") == EqualTo) {
    const ZIndex siteEnd = rest.Find('/', 2);
    if (siteEnd == ZNotFound) {
      ParseSite(rest.Mid(2));
      rest = "";
    } else {
      ParseSite(rest.SubString(2, siteEnd - 1));
      rest = rest.Mid(siteEnd);
    }
  }

  const ZIndex hash = rest.FindLast('#');
  if (hash != ZNotFound) {
    fragment = UntranslateString(rest.Mid(hash + 1));
    rest = rest.Left(hash);
  }
  const ZIndex question = rest.FindLast('?');
  if (question != ZNotFound) {
    query = rest.Mid(question + 1);
    rest = rest.Left(question);
  }
  const ZIndex semicolon = rest.FindLast(';');
  if (semicolon != ZNotFound) {
    parametersText = rest.Mid(semicolon + 1);
    parameters = UntranslateString(parametersText);
    rest = rest.Left(semicolon);
  }
  parametersTextValid = true;

  // Path: runs of "/" count once; a leading "/" makes it absolute, a
  // trailing one (after a component) is an empty last component. With
  // nothing left the path stays empty and absolute.
  pathText = rest;
  pathTextValid = true;
  if (!rest.IsEmpty()) {
    absolute = rest[0] == '/';
    ZStringArray components = rest.Tokenise("/");
    ZIndex first = absolute && components.GetSize() > 0 && components[0].IsEmpty() ? 1 : 0;
    for (ZIndex i = first; i < components.GetSize(); ++i) path.Append(UntranslateString(components[i]));
    if (path.GetSize() > 0 && rest[rest.GetLength() - 1] == '/') path.Append(ZString());
  }
}

void ZURL::ParseSite(const ZString& site) {
  ZString hostPort = site;
  // User information ends at the first "@" (one at the very start is part
  // of the host).
  const ZIndex at = site.Find('@');
  if (at != ZNotFound && at > 0) {
    const ZString user = site.Left(at);
    const ZIndex colon = user.Find(':');
    if (colon == ZNotFound) {
      username = UntranslateString(user);
    } else {
      username = UntranslateString(user.Left(colon));
      password = UntranslateString(user.Mid(colon + 1));
    }
    hostPort = site.Mid(at + 1);
  }
  const ZIndex colon = hostPort.Find(':');
  if (colon == ZNotFound) {
    hostname = UntranslateString(hostPort);
  } else {
    hostname = UntranslateString(hostPort.Left(colon));
    port = ParsePort(hostPort.Mid(colon + 1));
  }
}

ZString ZURL::AsString(int form) const {
  // Built in a standard string: a ZString counts its length on every append.
  std::string text;
  const bool full = form == FullForm;
  bool site = false;
  if (full) {
    if (!scheme.IsEmpty()) {
      text += EscapePart(scheme).Text();
      text += ":";
    }
    const bool hasUser = !username.IsEmpty() || !password.IsEmpty();
    if (hasUser || !hostname.IsEmpty() || port != 0) {
      site = true;
      text += "//";
      if (hasUser) {
        text += EscapePart(username).Text();
        if (!password.IsEmpty()) {
          text += ":";
          text += EscapePart(password).Text();
        }
        text += "@";
      }
      text += EscapePart(hostname).Text();
      if (port != 0 && port != GetDefaultPort(scheme)) text += ":" + std::to_string(port);
    }
  }
  const bool writesParameters = full && !parameters.IsEmpty();
  if (PathTextFits(full && !scheme.IsEmpty(), site, writesParameters)) {
    // After a site a relative path would run into the host name.
    if (pathText.IsEmpty() || (site && pathText[0] != '/')) text += "/";
    text += pathText.Text();
  } else {
    if (absolute || (site && path.GetSize() > 0)) text += "/";
    for (ZIndex i = 0; i < path.GetSize(); ++i) {
      if (i > 0) text += "/";
      text += EscapePart(path[i]).Text();
    }
  }
  if (full) {
    if (writesParameters) {
      text += ";";
      const bool asRead = parametersTextValid && TextAsReadFits(parametersText, false);
      text += asRead ? parametersText.Text() : EscapeParameters(parameters).Text();
    }
    if (!query.IsEmpty()) {
      text += "?";
      text += EscapeQuery(query).Text();
    }
    // The fragment starts behind the last "#", so a query that holds one
    // needs the mark even when the fragment is empty.
    if (!fragment.IsEmpty() || query.Find('#') != ZNotFound) {
      text += "#";
      text += EscapePart(fragment).Text();
    }
  }
  return ZString(text.c_str());
}

bool ZURL::PathTextFits(bool writesScheme, bool writesSite, bool writesParameters) const {
  if (!pathTextValid || !TextAsReadFits(pathText, writesParameters)) return false;
  // Read without a site in front, "//" would start one.
  if (!writesSite && pathText.CompareAt(0, 2, "//") == EqualTo) return false;
  // Read without a scheme in front, a ":" before any other delimiter would
  // end one.
  if (!writesScheme) {
    const ZIndex delimiter = pathText.FindOneOf(":=;/#?");
    if (delimiter != ZNotFound && pathText[delimiter] == ':') return false;
  }
  return true;
}

ZString ZURL::TranslateString(const char* text, int kind) {
  std::string out;
  const bool forQuery = kind == QueryKind;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (std::strchr(kReserved, c) != nullptr || (c == ' ' && !forQuery)) {
      AppendEscaped(out, c);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return ZString(out.c_str());
}

ZString ZURL::UntranslateString(const char* text) {
  std::string out;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    if (*p == '+') {
      out.push_back(' ');
    } else if (*p == '%' && HexValue(p[1]) >= 0 && HexValue(p[2]) >= 0 && (p[1] != '0' || p[2] != '0')) {
      out.push_back(static_cast<char>(HexValue(p[1]) * 16 + HexValue(p[2])));
      p += 2;
    } else {
      out.push_back(*p);
    }
  }
  return ZString(out.c_str());
}

bool ZURL::SplitQueryVars(const char* query, ZStringToString& variables, ZIndex maxVariables) {
  // The pieces between every "&" and "=", taken in pairs; an empty query has
  // no pieces at all.
  const char* p = query != nullptr ? query : "";
  if (*p == '\0') return true;
  ZIndex stored = 0;
  ZString name;
  bool haveName = false;
  while (true) {
    const size_t length = std::strcspn(p, "&=");
    ZString piece = UntranslateString(ZString(p, static_cast<ZIndex>(length)));
    if (!haveName) {
      name = piece;
      haveName = true;
    } else {
      if (stored >= maxVariables) return false;
      variables.SetAt(name, piece);
      ++stored;
      haveName = false;
    }
    if (p[length] == '\0') break;
    p += length + 1;
  }
  if (haveName) {
    if (stored >= maxVariables) return false;
    variables.SetAt(name, "");
  }
  return true;
}

uint16_t ZURL::GetDefaultPort(const char* scheme) {
  if (scheme == nullptr) return 0;
  for (const DefaultPort& entry : kDefaultPorts) {
    if (ZCaselessString(entry.scheme) == scheme) return entry.port;
  }
  return 0;
}

ZObject* ZURL::Clone() const { return new ZURL(*this); }

void ZURL::Print(std::ostream& out) const { out << AsString(FullForm).Text(); }
