// ZHTML and its elements. Misuse is reported through the assertion handler
// with this unit's name as the source, and the page carries on.
#include "zunder/html.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

namespace {

constexpr const char* kOutOfContext = "HTML element out of centext";

bool IsPlainWord(const char* text) {
  if (*text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- ZHTML

ZHTML::ZHTML() = default;

ZHTML::ZHTML(const char* title) { Start(title); }

ZHTML& ZHTML::operator=(const char* title) {
  ZString::operator=("");
  Seek(0, 0, SeekBoth);
  contexts = 0;
  Start(title);
  return *this;
}

void ZHTML::Start(const char* title) {
  if (title == nullptr || *title == '\0') return;
  *this << ZHTMLTitle(title) << ZHTMLBody() << ZHTMLHeading(1) << Escape(title) << ZHTMLHeading(1);
}

bool ZHTML::Is(int context) const {
  return context >= 0 && context < kContextCount && (contexts & (uint64_t{1} << context)) != 0;
}

void ZHTML::Set(int context) {
  if (context >= 0 && context < kContextCount) contexts |= uint64_t{1} << context;
}

void ZHTML::Clear(int context) {
  if (context >= 0 && context < kContextCount) contexts &= ~(uint64_t{1} << context);
}

void ZHTML::Toggle(int context) {
  if (context >= 0 && context < kContextCount) contexts ^= uint64_t{1} << context;
}

ZHTML& ZHTML::operator<<(const ZHTMLElement& element) {
  element.Output(*this);
  return *this;
}

ZHTML& ZHTML::operator<<(const char* markup) {
  if (markup != nullptr) static_cast<std::ostream&>(*this).write(markup, static_cast<std::streamsize>(std::strlen(markup)));
  return *this;
}

ZHTML& ZHTML::operator<<(char c) {
  static_cast<std::ostream&>(*this).put(c);
  return *this;
}

ZHTML& ZHTML::operator<<(long long value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%lld", value);
  return *this << text;
}

ZHTML& ZHTML::operator<<(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%llu", value);
  return *this << text;
}

ZHTML& ZHTML::operator<<(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%g", value);
  return *this << text;
}

ZString ZHTML::Escape(const char* text) {
  std::string out;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    switch (*p) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(*p); break;
    }
  }
  return ZString(out.c_str());
}

// ---------------------------------------------------------------- ZHTMLElement

ZHTMLElement::ZHTMLElement(const char* tagName, int inElement, int reqElement, int crlfMode)
    : tagName(tagName), inElement(inElement), reqElement(reqElement), crlfMode(crlfMode) {}

ZHTMLElement& ZHTMLElement::SetAttr(const char* text) {
  attr = text != nullptr ? text : "";
  return *this;
}

void ZHTMLElement::Output(ZHTML& html) const {
  CheckContext(html);
  WriteTag(html);
}

void ZHTMLElement::CheckContext(const ZHTML& html) const {
  if (reqElement != ZHTML::NoContext && !html.Is(reqElement)) Z_ASSERT_MESSAGE(kOutOfContext);
}

void ZHTMLElement::WriteTag(ZHTML& html) const {
  const bool closing = html.Is(inElement);
  if (crlfMode == CrlfAround && !closing) html << "\r\n";
  html << "<";
  if (closing) html << "/";
  html << tagName;
  AddAttr(html);
  if (!attr.IsEmpty()) html << " " << attr;
  html << ">";
  if (crlfMode == CrlfAfterBoth || (closing && (crlfMode == CrlfAround || crlfMode == CrlfAfterClose))) {
    html << "\r\n";
  }
  if (inElement != ZHTML::NoContext) html.Toggle(inElement);
}

void ZHTMLElement::AddAttr(ZHTML&) const {}

void ZHTMLElement::QuotedAttr(ZHTML& html, const char* name, const ZString& text) {
  if (text.IsEmpty()) return;
  html << " " << name << "\"" << ZHTML::Escape(text) << "\"";
}

void ZHTMLElement::NumberAttr(ZHTML& html, const char* name, int32_t value) {
  if (value > 0) html << " " << name << static_cast<long long>(value);
}

void ZHTMLElement::ValueAttr(ZHTML& html, const char* name, int32_t value) {
  html << " " << name << static_cast<long long>(value);
}

void ZHTMLElement::WordAttr(ZHTML& html, const char* name, const ZString& word) {
  if (word.IsEmpty()) return;
  if (IsPlainWord(word.Text())) {
    html << " " << name << word;
  } else {
    QuotedAttr(html, name, word);
  }
}

void ZHTMLElement::FlagAttr(ZHTML& html, const char* name, bool present) {
  if (present) html << " " << name;
}

// ---------------------------------------------------------------- page structure

ZHTMLRoot::ZHTMLRoot() : ZHTMLElement("HTML", ZHTML::HTMLContext, ZHTML::NoContext, CrlfAfterBoth) {}

ZHTMLHead::ZHTMLHead() : ZHTMLElement("HEAD", ZHTML::HeadContext, ZHTML::NoContext, CrlfAfterBoth) {}

void ZHTMLHead::Output(ZHTML& html) const {
  if (html.Is(ZHTML::BodyContext)) {
    Z_ASSERT_MESSAGE(kOutOfContext);
  } else if (!html.Is(ZHTML::HTMLContext)) {
    ZHTMLRoot().Output(html);
  }
  WriteTag(html);
}

ZHTMLBody::ZHTMLBody() : ZHTMLElement("BODY", ZHTML::BodyContext, ZHTML::NoContext, CrlfAfterBoth) {}

void ZHTMLBody::Output(ZHTML& html) const {
  if (!html.Is(ZHTML::BodyContext)) {
    if (!html.Is(ZHTML::HTMLContext)) ZHTMLRoot().Output(html);
    if (html.Is(ZHTML::TitleContext)) ZHTMLTitle().Output(html);
    if (html.Is(ZHTML::HeadContext)) ZHTMLHead().Output(html);
  }
  WriteTag(html);
  if (!html.Is(ZHTML::BodyContext) && html.Is(ZHTML::HTMLContext)) ZHTMLRoot().Output(html);
}

ZHTMLTitle::ZHTMLTitle(const char* text)
    : ZHTMLElement("TITLE", ZHTML::TitleContext, ZHTML::HeadContext, CrlfAfterClose), text(text) {}

void ZHTMLTitle::Output(ZHTML& html) const {
  if (html.Is(ZHTML::BodyContext)) {
    Z_ASSERT_MESSAGE(kOutOfContext);
  } else if (!html.Is(ZHTML::HeadContext)) {
    ZHTMLHead().Output(html);
  }
  if (text.IsEmpty()) {
    WriteTag(html);
    return;
  }
  if (!html.Is(ZHTML::TitleContext)) WriteTag(html);
  html << ZHTML::Escape(text);
  WriteTag(html);
}

// ---------------------------------------------------------------- body elements

ZHTMLBanner::ZHTMLBanner() : ZHTMLElement("BANNER", ZHTML::NoContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLHeading::ZHTMLHeading(int level, const char* image, int32_t seqNum, int32_t skip)
    : ZHTMLElement("H", ZHTML::HeadingContext, ZHTML::BodyContext, CrlfAfterClose),
      level(level),
      image(image),
      seqNum(seqNum),
      skip(skip) {
  tagName += FormatText("%d", level);
}

void ZHTMLHeading::AddAttr(ZHTML& html) const {
  if (level < 1 || level > 6) Z_ASSERT_MESSAGE("Bad heading number");
  QuotedAttr(html, "SRC=", image);
  NumberAttr(html, "SEQNUM=", seqNum);
  NumberAttr(html, "SKIP=", skip);
}

ZHTMLBreak::ZHTMLBreak() : ZHTMLElement("BR", ZHTML::NoContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLParagraph::ZHTMLParagraph() : ZHTMLElement("P", ZHTML::NoContext, ZHTML::BodyContext, CrlfAround) {}

ZHTMLPreformatted::ZHTMLPreformatted(int32_t width)
    : ZHTMLElement("PRE", ZHTML::PreContext, ZHTML::BodyContext, CrlfAfterClose), width(width) {}

void ZHTMLPreformatted::AddAttr(ZHTML& html) const { NumberAttr(html, "WIDTH=", width); }

ZHTMLHotLink::ZHTMLHotLink(const char* url)
    : ZHTMLElement("A", ZHTML::HotLinkContext, ZHTML::BodyContext, NoCrlf), url(url) {}

void ZHTMLHotLink::AddAttr(ZHTML& html) const {
  if (url.IsEmpty() && !html.Is(ZHTML::HotLinkContext)) Z_ASSERT_CODE(ZAssertInvalidParameter);
  QuotedAttr(html, "HREF=", url);
}

ZHTMLTarget::ZHTMLTarget(const char* name)
    : ZHTMLElement("A", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf), name(name) {}

void ZHTMLTarget::AddAttr(ZHTML& html) const { QuotedAttr(html, "NAME=", name); }

ZHTMLImage::ZHTMLImage(const char* source, const char* alt, int32_t width, int32_t height)
    : ZHTMLElement("IMG", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf),
      source(source),
      alt(alt),
      width(width),
      height(height) {}

void ZHTMLImage::AddAttr(ZHTML& html) const {
  if (source.IsEmpty()) Z_ASSERT_CODE(ZAssertInvalidParameter);
  QuotedAttr(html, "SRC=", source);
  QuotedAttr(html, "ALT=", alt);
  NumberAttr(html, "WIDTH=", width);
  NumberAttr(html, "HEIGHT=", height);
}

ZHTMLRule::ZHTMLRule() : ZHTMLElement("HR", ZHTML::NoContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLNote::ZHTMLNote() : ZHTMLElement("NOTE", ZHTML::NoteContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLAddress::ZHTMLAddress() : ZHTMLElement("ADDRESS", ZHTML::AddressContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLBlockQuote::ZHTMLBlockQuote()
    : ZHTMLElement("BQ", ZHTML::BlockQuoteContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLCredit::ZHTMLCredit() : ZHTMLElement("CREDIT", ZHTML::NoContext, ZHTML::BlockQuoteContext, CrlfAround) {}

ZHTMLTab::ZHTMLTab(int32_t id, int32_t indent, int32_t to)
    : ZHTMLElement("TAB", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf), id(id), indent(indent), to(to) {}

void ZHTMLTab::AddAttr(ZHTML& html) const {
  if (id >= 0) ValueAttr(html, "ID=", id);
  if (indent >= 0) ValueAttr(html, "INDENT=", indent);
  if (to >= 0) ValueAttr(html, "TO=", to);
}

// ---------------------------------------------------------------- lists

ZHTMLList::ZHTMLList(Kind kind, int32_t seqNum, bool continued)
    : ZHTMLElement(kind == Ordered ? "OL" : "UL", ZHTML::ListContext, ZHTML::BodyContext, CrlfAfterBoth),
      kind(kind),
      seqNum(seqNum),
      continued(continued) {}

void ZHTMLList::AddAttr(ZHTML& html) const {
  FlagAttr(html, "PLAIN", kind == Simple);
  if (kind == Ordered) {
    NumberAttr(html, "SEQNUM=", seqNum);
    FlagAttr(html, "CONTINUE", continued);
  }
}

ZHTMLListHeader::ZHTMLListHeader()
    : ZHTMLElement("LH", ZHTML::ListHeaderContext, ZHTML::ListContext, CrlfAfterClose) {}

ZHTMLListItem::ZHTMLListItem(int32_t skip)
    : ZHTMLElement("LI", ZHTML::NoContext, ZHTML::ListContext, CrlfAround), skip(skip) {}

void ZHTMLListItem::AddAttr(ZHTML& html) const { NumberAttr(html, "SKIP=", skip); }

ZHTMLDefinitionList::ZHTMLDefinitionList()
    : ZHTMLElement("DL", ZHTML::ListContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLDefinitionTerm::ZHTMLDefinitionTerm()
    : ZHTMLElement("DT", ZHTML::NoContext, ZHTML::ListContext, NoCrlf) {}

void ZHTMLDefinitionTerm::AddAttr(ZHTML& html) const {
  if (html.Is(ZHTML::TermPendingContext)) Z_ASSERT_MESSAGE("HTML definition item missing");
  html.Set(ZHTML::TermPendingContext);
}

ZHTMLDefinitionItem::ZHTMLDefinitionItem()
    : ZHTMLElement("DD", ZHTML::NoContext, ZHTML::ListContext, NoCrlf) {}

void ZHTMLDefinitionItem::AddAttr(ZHTML& html) const {
  if (!html.Is(ZHTML::TermPendingContext)) Z_ASSERT_MESSAGE("HTML definition term missing");
  html.Clear(ZHTML::TermPendingContext);
}

// ---------------------------------------------------------------- tables

ZHTMLTable::ZHTMLTable(bool bordered)
    : ZHTMLElement("TABLE", ZHTML::TableContext, ZHTML::BodyContext, CrlfAfterBoth), bordered(bordered) {}

void ZHTMLTable::AddAttr(ZHTML& html) const { FlagAttr(html, "BORDER", bordered); }

ZHTMLTableRow::ZHTMLTableRow() : ZHTMLElement("TR", ZHTML::NoContext, ZHTML::TableContext, CrlfAround) {}

ZHTMLTableHeading::ZHTMLTableHeading()
    : ZHTMLElement("TH", ZHTML::NoContext, ZHTML::TableContext, CrlfAfterClose) {}

ZHTMLTableData::ZHTMLTableData() : ZHTMLElement("TD", ZHTML::NoContext, ZHTML::TableContext, NoCrlf) {}

// ---------------------------------------------------------------- forms

ZHTMLForm::ZHTMLForm(const char* method, const char* action, const char* encType, const char* script)
    : ZHTMLElement("FORM", ZHTML::FormContext, ZHTML::BodyContext, CrlfAfterBoth),
      method(method),
      action(action),
      encType(encType),
      script(script) {}

void ZHTMLForm::AddAttr(ZHTML& html) const {
  WordAttr(html, "METHOD=", method);
  QuotedAttr(html, "ACTION=", action);
  QuotedAttr(html, "ENCTYPE=", encType);
  QuotedAttr(html, "SCRIPT=", script);
}

ZHTMLSelect::ZHTMLSelect(const char* name, bool disabled)
    : ZHTMLElement("SELECT", ZHTML::SelectContext, ZHTML::FormContext, CrlfAfterBoth),
      name(name),
      disabled(disabled) {}

void ZHTMLSelect::AddAttr(ZHTML& html) const {
  if (!html.Is(ZHTML::SelectContext)) {
    if (name.IsEmpty()) Z_ASSERT_CODE(ZAssertInvalidParameter);
    QuotedAttr(html, "NAME=", name);
  }
  FlagAttr(html, "DISABLED", disabled);
}

ZHTMLOption::ZHTMLOption(bool selected, bool disabled)
    : ZHTMLElement("OPTION", ZHTML::NoContext, ZHTML::FormContext, NoCrlf), selected(selected), disabled(disabled) {}

void ZHTMLOption::AddAttr(ZHTML& html) const {
  FlagAttr(html, "SELECTED", selected);
  FlagAttr(html, "DISABLED", disabled);
}

ZHTMLTextArea::ZHTMLTextArea(const char* name, int32_t rows, int32_t cols, bool disabled)
    : ZHTMLElement("TEXTAREA", ZHTML::SelectContext, ZHTML::FormContext, CrlfAfterBoth),
      name(name),
      rows(rows),
      cols(cols),
      disabled(disabled) {}

void ZHTMLTextArea::AddAttr(ZHTML& html) const {
  QuotedAttr(html, "NAME=", name);
  NumberAttr(html, "ROWS=", rows);
  NumberAttr(html, "COLS=", cols);
  FlagAttr(html, "DISABLED", disabled);
}

// ---------------------------------------------------------------- inputs

ZHTMLInput::ZHTMLInput(const char* type, const char* name, bool disabled)
    : ZHTMLElement("INPUT", ZHTML::NoContext, ZHTML::FormContext, NoCrlf),
      type(type),
      name(name),
      disabled(disabled) {}

void ZHTMLInput::AddAttr(ZHTML& html) const {
  if (type.IsEmpty() || (name.IsEmpty() && NeedsName())) Z_ASSERT_CODE(ZAssertInvalidParameter);
  WordAttr(html, "TYPE=", type);
  QuotedAttr(html, "NAME=", name);
  AddTypeAttr(html);
  FlagAttr(html, "DISABLED", disabled);
}

void ZHTMLInput::AddTypeAttr(ZHTML&) const {}

ZHTMLTextInput::ZHTMLTextInput(const char* name, int32_t size, int32_t maxLength, const char* value, bool disabled)
    : ZHTMLTextInput("text", name, size, maxLength, value, disabled) {}

ZHTMLTextInput::ZHTMLTextInput(const char* type, const char* name, int32_t size, int32_t maxLength,
                               const char* value, bool disabled)
    : ZHTMLInput(type, name, disabled), size(size), maxLength(maxLength), value(value) {}

void ZHTMLTextInput::AddTypeAttr(ZHTML& html) const {
  NumberAttr(html, "SIZE=", size);
  NumberAttr(html, "MAXLENGTH=", maxLength);
  QuotedAttr(html, "VALUE=", value);
}

ZHTMLPasswordInput::ZHTMLPasswordInput(const char* name, int32_t size, int32_t maxLength, const char* value,
                                       bool disabled)
    : ZHTMLTextInput("password", name, size, maxLength, value, disabled) {}

ZHTMLCheckBox::ZHTMLCheckBox(const char* name, const char* value, bool checked, bool disabled)
    : ZHTMLCheckBox("checkbox", name, value, checked, disabled) {}

ZHTMLCheckBox::ZHTMLCheckBox(const char* type, const char* name, const char* value, bool checked, bool disabled)
    : ZHTMLInput(type, name, disabled), value(value), checked(checked) {}

void ZHTMLCheckBox::AddTypeAttr(ZHTML& html) const {
  WordAttr(html, "VALUE=", value);
  FlagAttr(html, "CHECKED", checked);
}

ZHTMLRadioButton::ZHTMLRadioButton(const char* name, const char* value, bool checked, bool disabled)
    : ZHTMLCheckBox("radio", name, value, checked, disabled) {}

ZHTMLRangeInput::ZHTMLRangeInput(const char* name, int32_t low, int32_t high, int32_t value, int32_t size,
                                 bool disabled)
    : ZHTMLRangeInput("range", name, low, high, value, size, disabled) {}

ZHTMLRangeInput::ZHTMLRangeInput(const char* type, const char* name, int32_t low, int32_t high, int32_t value,
                                 int32_t size, bool disabled)
    : ZHTMLInput(type, name, disabled), low(low), high(high), value(value), size(size) {}

void ZHTMLRangeInput::AddTypeAttr(ZHTML& html) const {
  ValueAttr(html, "VALUE=", value);
  ValueAttr(html, "MAX=", high);
  ValueAttr(html, "MIN=", low);
  NumberAttr(html, "SIZE=", size);
}

ZHTMLNumberInput::ZHTMLNumberInput(const char* name, int32_t low, int32_t high, int32_t value, int32_t size,
                                   bool disabled)
    : ZHTMLRangeInput("number", name, low, high, value, size, disabled) {}

ZHTMLFileInput::ZHTMLFileInput(const char* name, const char* accept, bool disabled)
    : ZHTMLInput("file", name, disabled), accept(accept) {}

void ZHTMLFileInput::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "ACCEPT=", accept); }

ZHTMLImageInput::ZHTMLImageInput(const char* name, const char* source, bool disabled)
    : ZHTMLImageInput("image", name, source, disabled) {}

ZHTMLImageInput::ZHTMLImageInput(const char* type, const char* name, const char* source, bool disabled)
    : ZHTMLInput(type, name, disabled), source(source) {}

void ZHTMLImageInput::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "SRC=", source); }

ZHTMLScribbleInput::ZHTMLScribbleInput(const char* name, const char* source, bool disabled)
    : ZHTMLImageInput("scribble", name, source, disabled) {}

ZHTMLResetButton::ZHTMLResetButton(const char* label, const char* name, bool disabled)
    : ZHTMLResetButton("reset", label, name, disabled) {}

ZHTMLResetButton::ZHTMLResetButton(const char* type, const char* label, const char* name, bool disabled)
    : ZHTMLInput(type, name, disabled), label(label) {}

void ZHTMLResetButton::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "VALUE=", label); }

ZHTMLSubmitButton::ZHTMLSubmitButton(const char* label, const char* name, bool disabled)
    : ZHTMLResetButton("submit", label, name, disabled) {}
