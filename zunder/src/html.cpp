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
  if (markup != nullptr)
    static_cast<std::ostream&>(*this).write(markup, static_cast<std::streamsize>(std::strlen(markup)));
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

ZHTMLElement::ZHTMLElement(const char* tag, int ownContext, int requiredContext, int lineBreaks)
    : tagName(tag), inElement(ownContext), reqElement(requiredContext), crlfMode(lineBreaks) {}

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

ZHTMLTitle::ZHTMLTitle(const char* titleText)
    : ZHTMLElement("TITLE", ZHTML::TitleContext, ZHTML::HeadContext, CrlfAfterClose), text(titleText) {}

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

ZHTMLHeading::ZHTMLHeading(int headingLevel, const char* imageSource, int32_t sequenceNumber, int32_t skipCount)
    : ZHTMLElement("H", ZHTML::HeadingContext, ZHTML::BodyContext, CrlfAfterClose),
      level(headingLevel),
      image(imageSource),
      seqNum(sequenceNumber),
      skip(skipCount) {
  tagName += FormatText("%d", headingLevel);
}

void ZHTMLHeading::AddAttr(ZHTML& html) const {
  if (level < 1 || level > 6) Z_ASSERT_MESSAGE("Bad heading number");
  QuotedAttr(html, "SRC=", image);
  NumberAttr(html, "SEQNUM=", seqNum);
  NumberAttr(html, "SKIP=", skip);
}

ZHTMLBreak::ZHTMLBreak() : ZHTMLElement("BR", ZHTML::NoContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLParagraph::ZHTMLParagraph() : ZHTMLElement("P", ZHTML::NoContext, ZHTML::BodyContext, CrlfAround) {}

ZHTMLPreformatted::ZHTMLPreformatted(int32_t lineWidth)
    : ZHTMLElement("PRE", ZHTML::PreContext, ZHTML::BodyContext, CrlfAfterClose), width(lineWidth) {}

void ZHTMLPreformatted::AddAttr(ZHTML& html) const { NumberAttr(html, "WIDTH=", width); }

ZHTMLHotLink::ZHTMLHotLink(const char* linkURL)
    : ZHTMLElement("A", ZHTML::HotLinkContext, ZHTML::BodyContext, NoCrlf), url(linkURL) {}

void ZHTMLHotLink::AddAttr(ZHTML& html) const {
  if (url.IsEmpty() && !html.Is(ZHTML::HotLinkContext)) Z_ASSERT_CODE(ZAssertInvalidParameter);
  QuotedAttr(html, "HREF=", url);
}

ZHTMLTarget::ZHTMLTarget(const char* targetName)
    : ZHTMLElement("A", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf), name(targetName) {}

void ZHTMLTarget::AddAttr(ZHTML& html) const { QuotedAttr(html, "NAME=", name); }

ZHTMLImage::ZHTMLImage(const char* imageSource, const char* altText, int32_t pixelWidth, int32_t pixelHeight)
    : ZHTMLElement("IMG", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf),
      source(imageSource),
      alt(altText),
      width(pixelWidth),
      height(pixelHeight) {}

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

ZHTMLBlockQuote::ZHTMLBlockQuote() : ZHTMLElement("BQ", ZHTML::BlockQuoteContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLCredit::ZHTMLCredit() : ZHTMLElement("CREDIT", ZHTML::NoContext, ZHTML::BlockQuoteContext, CrlfAround) {}

ZHTMLTab::ZHTMLTab(int32_t stopId, int32_t indentWidth, int32_t toStop)
    : ZHTMLElement("TAB", ZHTML::NoContext, ZHTML::BodyContext, NoCrlf), id(stopId), indent(indentWidth), to(toStop) {}

void ZHTMLTab::AddAttr(ZHTML& html) const {
  if (id >= 0) ValueAttr(html, "ID=", id);
  if (indent >= 0) ValueAttr(html, "INDENT=", indent);
  if (to >= 0) ValueAttr(html, "TO=", to);
}

// ---------------------------------------------------------------- lists

ZHTMLList::ZHTMLList(Kind listKind, int32_t sequenceNumber, bool continuesPrevious)
    : ZHTMLElement(listKind == Ordered ? "OL" : "UL", ZHTML::ListContext, ZHTML::BodyContext, CrlfAfterBoth),
      kind(listKind),
      seqNum(sequenceNumber),
      continued(continuesPrevious) {}

void ZHTMLList::AddAttr(ZHTML& html) const {
  FlagAttr(html, "PLAIN", kind == Simple);
  if (kind == Ordered) {
    NumberAttr(html, "SEQNUM=", seqNum);
    FlagAttr(html, "CONTINUE", continued);
  }
}

ZHTMLListHeader::ZHTMLListHeader() : ZHTMLElement("LH", ZHTML::ListHeaderContext, ZHTML::ListContext, CrlfAfterClose) {}

ZHTMLListItem::ZHTMLListItem(int32_t skipCount)
    : ZHTMLElement("LI", ZHTML::NoContext, ZHTML::ListContext, CrlfAround), skip(skipCount) {}

void ZHTMLListItem::AddAttr(ZHTML& html) const { NumberAttr(html, "SKIP=", skip); }

ZHTMLDefinitionList::ZHTMLDefinitionList()
    : ZHTMLElement("DL", ZHTML::ListContext, ZHTML::BodyContext, CrlfAfterBoth) {}

ZHTMLDefinitionTerm::ZHTMLDefinitionTerm() : ZHTMLElement("DT", ZHTML::NoContext, ZHTML::ListContext, NoCrlf) {}

void ZHTMLDefinitionTerm::AddAttr(ZHTML& html) const {
  if (html.Is(ZHTML::TermPendingContext)) Z_ASSERT_MESSAGE("HTML definition item missing");
  html.Set(ZHTML::TermPendingContext);
}

ZHTMLDefinitionItem::ZHTMLDefinitionItem() : ZHTMLElement("DD", ZHTML::NoContext, ZHTML::ListContext, NoCrlf) {}

void ZHTMLDefinitionItem::AddAttr(ZHTML& html) const {
  if (!html.Is(ZHTML::TermPendingContext)) Z_ASSERT_MESSAGE("HTML definition term missing");
  html.Clear(ZHTML::TermPendingContext);
}

// ---------------------------------------------------------------- tables

ZHTMLTable::ZHTMLTable(bool withBorder)
    : ZHTMLElement("TABLE", ZHTML::TableContext, ZHTML::BodyContext, CrlfAfterBoth), bordered(withBorder) {}

void ZHTMLTable::AddAttr(ZHTML& html) const { FlagAttr(html, "BORDER", bordered); }

ZHTMLTableRow::ZHTMLTableRow() : ZHTMLElement("TR", ZHTML::NoContext, ZHTML::TableContext, CrlfAround) {}

ZHTMLTableHeading::ZHTMLTableHeading() : ZHTMLElement("TH", ZHTML::NoContext, ZHTML::TableContext, CrlfAfterClose) {}

ZHTMLTableData::ZHTMLTableData() : ZHTMLElement("TD", ZHTML::NoContext, ZHTML::TableContext, NoCrlf) {}

// ---------------------------------------------------------------- forms

ZHTMLForm::ZHTMLForm(const char* formMethod, const char* actionURL, const char* encoding, const char* scriptURL)
    : ZHTMLElement("FORM", ZHTML::FormContext, ZHTML::BodyContext, CrlfAfterBoth),
      method(formMethod),
      action(actionURL),
      encType(encoding),
      script(scriptURL) {}

void ZHTMLForm::AddAttr(ZHTML& html) const {
  WordAttr(html, "METHOD=", method);
  QuotedAttr(html, "ACTION=", action);
  QuotedAttr(html, "ENCTYPE=", encType);
  QuotedAttr(html, "SCRIPT=", script);
}

ZHTMLSelect::ZHTMLSelect(const char* controlName, bool isDisabled)
    : ZHTMLElement("SELECT", ZHTML::SelectContext, ZHTML::FormContext, CrlfAfterBoth),
      name(controlName),
      disabled(isDisabled) {}

void ZHTMLSelect::AddAttr(ZHTML& html) const {
  if (!html.Is(ZHTML::SelectContext)) {
    if (name.IsEmpty()) Z_ASSERT_CODE(ZAssertInvalidParameter);
    QuotedAttr(html, "NAME=", name);
  }
  FlagAttr(html, "DISABLED", disabled);
}

ZHTMLOption::ZHTMLOption(bool isSelected, bool isDisabled)
    : ZHTMLElement("OPTION", ZHTML::NoContext, ZHTML::FormContext, NoCrlf),
      selected(isSelected),
      disabled(isDisabled) {}

void ZHTMLOption::AddAttr(ZHTML& html) const {
  FlagAttr(html, "SELECTED", selected);
  FlagAttr(html, "DISABLED", disabled);
}

ZHTMLTextArea::ZHTMLTextArea(const char* controlName, int32_t rowCount, int32_t columnCount, bool isDisabled)
    : ZHTMLElement("TEXTAREA", ZHTML::SelectContext, ZHTML::FormContext, CrlfAfterBoth),
      name(controlName),
      rows(rowCount),
      cols(columnCount),
      disabled(isDisabled) {}

void ZHTMLTextArea::AddAttr(ZHTML& html) const {
  QuotedAttr(html, "NAME=", name);
  NumberAttr(html, "ROWS=", rows);
  NumberAttr(html, "COLS=", cols);
  FlagAttr(html, "DISABLED", disabled);
}

// ---------------------------------------------------------------- inputs

ZHTMLInput::ZHTMLInput(const char* inputType, const char* controlName, bool isDisabled)
    : ZHTMLElement("INPUT", ZHTML::NoContext, ZHTML::FormContext, NoCrlf),
      type(inputType),
      name(controlName),
      disabled(isDisabled) {}

void ZHTMLInput::AddAttr(ZHTML& html) const {
  if (type.IsEmpty() || (name.IsEmpty() && NeedsName())) Z_ASSERT_CODE(ZAssertInvalidParameter);
  WordAttr(html, "TYPE=", type);
  QuotedAttr(html, "NAME=", name);
  AddTypeAttr(html);
  FlagAttr(html, "DISABLED", disabled);
}

void ZHTMLInput::AddTypeAttr(ZHTML&) const {}

ZHTMLTextInput::ZHTMLTextInput(const char* controlName, int32_t boxWidth, int32_t maxChars, const char* initialValue,
                               bool isDisabled)
    : ZHTMLTextInput("text", controlName, boxWidth, maxChars, initialValue, isDisabled) {}

ZHTMLTextInput::ZHTMLTextInput(const char* inputType, const char* controlName, int32_t boxWidth, int32_t maxChars,
                               const char* initialValue, bool isDisabled)
    : ZHTMLInput(inputType, controlName, isDisabled), size(boxWidth), maxLength(maxChars), value(initialValue) {}

void ZHTMLTextInput::AddTypeAttr(ZHTML& html) const {
  NumberAttr(html, "SIZE=", size);
  NumberAttr(html, "MAXLENGTH=", maxLength);
  QuotedAttr(html, "VALUE=", value);
}

ZHTMLPasswordInput::ZHTMLPasswordInput(const char* controlName, int32_t boxWidth, int32_t maxChars,
                                       const char* initialValue, bool isDisabled)
    : ZHTMLTextInput("password", controlName, boxWidth, maxChars, initialValue, isDisabled) {}

ZHTMLCheckBox::ZHTMLCheckBox(const char* controlName, const char* postedValue, bool isChecked, bool isDisabled)
    : ZHTMLCheckBox("checkbox", controlName, postedValue, isChecked, isDisabled) {}

ZHTMLCheckBox::ZHTMLCheckBox(const char* inputType, const char* controlName, const char* postedValue, bool isChecked,
                             bool isDisabled)
    : ZHTMLInput(inputType, controlName, isDisabled), value(postedValue), checked(isChecked) {}

void ZHTMLCheckBox::AddTypeAttr(ZHTML& html) const {
  WordAttr(html, "VALUE=", value);
  FlagAttr(html, "CHECKED", checked);
}

ZHTMLRadioButton::ZHTMLRadioButton(const char* controlName, const char* postedValue, bool isChecked, bool isDisabled)
    : ZHTMLCheckBox("radio", controlName, postedValue, isChecked, isDisabled) {}

ZHTMLRangeInput::ZHTMLRangeInput(const char* controlName, int32_t minimum, int32_t maximum, int32_t initialValue,
                                 int32_t boxWidth, bool isDisabled)
    : ZHTMLRangeInput("range", controlName, minimum, maximum, initialValue, boxWidth, isDisabled) {}

ZHTMLRangeInput::ZHTMLRangeInput(const char* inputType, const char* controlName, int32_t minimum, int32_t maximum,
                                 int32_t initialValue, int32_t boxWidth, bool isDisabled)
    : ZHTMLInput(inputType, controlName, isDisabled),
      low(minimum),
      high(maximum),
      value(initialValue),
      size(boxWidth) {}

void ZHTMLRangeInput::AddTypeAttr(ZHTML& html) const {
  ValueAttr(html, "VALUE=", value);
  ValueAttr(html, "MAX=", high);
  ValueAttr(html, "MIN=", low);
  NumberAttr(html, "SIZE=", size);
}

ZHTMLNumberInput::ZHTMLNumberInput(const char* controlName, int32_t minimum, int32_t maximum, int32_t initialValue,
                                   int32_t boxWidth, bool isDisabled)
    : ZHTMLRangeInput("number", controlName, minimum, maximum, initialValue, boxWidth, isDisabled) {}

ZHTMLFileInput::ZHTMLFileInput(const char* controlName, const char* acceptedTypes, bool isDisabled)
    : ZHTMLInput("file", controlName, isDisabled), accept(acceptedTypes) {}

void ZHTMLFileInput::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "ACCEPT=", accept); }

ZHTMLImageInput::ZHTMLImageInput(const char* controlName, const char* imageSource, bool isDisabled)
    : ZHTMLImageInput("image", controlName, imageSource, isDisabled) {}

ZHTMLImageInput::ZHTMLImageInput(const char* inputType, const char* controlName, const char* imageSource,
                                 bool isDisabled)
    : ZHTMLInput(inputType, controlName, isDisabled), source(imageSource) {}

void ZHTMLImageInput::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "SRC=", source); }

ZHTMLScribbleInput::ZHTMLScribbleInput(const char* controlName, const char* imageSource, bool isDisabled)
    : ZHTMLImageInput("scribble", controlName, imageSource, isDisabled) {}

ZHTMLResetButton::ZHTMLResetButton(const char* buttonLabel, const char* controlName, bool isDisabled)
    : ZHTMLResetButton("reset", buttonLabel, controlName, isDisabled) {}

ZHTMLResetButton::ZHTMLResetButton(const char* inputType, const char* buttonLabel, const char* controlName,
                                   bool isDisabled)
    : ZHTMLInput(inputType, controlName, isDisabled), label(buttonLabel) {}

void ZHTMLResetButton::AddTypeAttr(ZHTML& html) const { QuotedAttr(html, "VALUE=", label); }

ZHTMLSubmitButton::ZHTMLSubmitButton(const char* buttonLabel, const char* controlName, bool isDisabled)
    : ZHTMLResetButton("submit", buttonLabel, controlName, isDisabled) {}
