// ZHTML: a text stream that builds an HTML page from element objects.
// Each element knows its tag, the context it opens and closes, the context
// that must be open for it and where line breaks go; streaming an element
// whose context is open writes its closing tag. The builder opens the
// implied HTML and HEAD elements itself and reports misnesting through the
// assertion handler (the page text then carries on).
//
// Text and markup. Plain text streamed into a ZHTML is taken as markup and
// written as it is: stream ZHTML::Escape(text) for anything that comes from
// outside (URLs, host names, configured values, posted data). The elements
// decide per value:
// - text, escaped by the element: the title text (TITLE and the titled
//   page), and every quoted attribute value (HREF, SRC, ALT, NAME, ACTION,
//   ENCTYPE, SCRIPT, ACCEPT and the VALUE of text, password, reset and
//   submit inputs);
// - words, written bare when they are plain words (letters, digits, ".",
//   "-", "_") and quoted and escaped otherwise: METHOD and the VALUE of
//   check boxes and radio buttons;
// - markup, written as it is: the free attribute text of any element
//   (SetAttr), which is the caller's own HTML.
#pragma once

#include <cstdint>

#include "zunder/strings.h"

class ZHTMLElement;

class ZHTML : public ZStringStream {
  Z_CLASS(ZHTML, ZStringStream)
 public:
  // The context numbers of the elements that open and close.
  enum Context {
    HTMLContext = 0,
    HeadContext = 1,
    BodyContext = 2,
    TitleContext = 3,
    HeadingContext = 4,
    PreContext = 6,
    HotLinkContext = 7,
    NoteContext = 8,
    AddressContext = 9,
    BlockQuoteContext = 10,
    ListContext = 36,
    ListHeaderContext = 37,
    TermPendingContext = 38,  // a definition term waits for its item
    TableContext = 39,
    FormContext = 40,
    SelectContext = 41,  // SELECT and TEXTAREA
    NoContext = 43,      // changes no state / may appear anywhere
  };
  static constexpr int kContextCount = 43;

  // An empty page.
  ZHTML();
  // A page started with the title: TITLE with the text (opening HTML and
  // HEAD), BODY, and a level-1 heading with the same text. The title is
  // text (escaped).
  explicit ZHTML(const char* title);
  ZHTML(const ZHTML&) = delete;
  ZHTML& operator=(const ZHTML&) = delete;

  // Restarts the page: the text is emptied and every context cleared; a
  // title that is not empty starts the page as the titled constructor does.
  ZHTML& operator=(const char* title);

  // ---- contexts (numbers 0-42; NoContext and others are never open)
  bool Is(int context) const;
  void Set(int context);
  void Clear(int context);
  void Toggle(int context);

  // ---- writing
  ZHTML& operator<<(const ZHTMLElement& element);
  // Markup, written as it is.
  ZHTML& operator<<(const char* markup);
  ZHTML& operator<<(const ZString& markup) { return *this << markup.Text(); }
  ZHTML& operator<<(char c);
  ZHTML& operator<<(int value) { return *this << static_cast<long long>(value); }
  ZHTML& operator<<(unsigned value) { return *this << static_cast<unsigned long long>(value); }
  ZHTML& operator<<(long value) { return *this << static_cast<long long>(value); }
  ZHTML& operator<<(unsigned long value) { return *this << static_cast<unsigned long long>(value); }
  ZHTML& operator<<(long long value);
  ZHTML& operator<<(unsigned long long value);
  ZHTML& operator<<(double value);

  // The text with "&", "<", ">", '"' and "'" written as entities, safe both
  // between tags and inside a quoted attribute value.
  static ZString Escape(const char* text);

 private:
  void Start(const char* title);

  uint64_t contexts = 0;
};

// ---------------------------------------------------------------- elements

// The base of every element: a small value object built on the spot and
// streamed into a page.
class ZHTMLElement : public ZObject {
  Z_CLASS(ZHTMLElement, ZObject)
 public:
  // Line breaks around the tag.
  enum CrlfMode {
    NoCrlf = 0,
    CrlfAround = 1,      // before the opening tag, after the closing tag
    CrlfAfterClose = 2,  // after the closing tag only
    CrlfAfterBoth = 3,   // after the opening and after the closing tag
  };

  ZHTMLElement(const char* tag, int ownContext, int requiredContext, int lineBreaks);

  // Free attribute text written after the element's own attributes; it is
  // markup, written as it is.
  ZHTMLElement& SetAttr(const char* text);

  const ZString& GetTagName() const { return tagName; }
  int GetInElement() const { return inElement; }
  int GetReqElement() const { return reqElement; }
  int GetCrlfMode() const { return crlfMode; }

  // Checks the required context, then writes the tag: the opening one, or
  // the closing one when the element's own context is open.
  virtual void Output(ZHTML& html) const;
  // Writes the element's own attributes (on closing tags too); the base
  // writes none.
  virtual void AddAttr(ZHTML& html) const;

 protected:
  // Reports an element streamed outside its required context.
  void CheckContext(const ZHTML& html) const;
  // Output without the context check: line breaks, the tag and its
  // attributes, and the change of the element's own context.
  void WriteTag(ZHTML& html) const;

  // Each writes one blank before the attribute and nothing for an absent
  // (empty or not positive) value.
  static void QuotedAttr(ZHTML& html, const char* name, const ZString& text);
  static void NumberAttr(ZHTML& html, const char* name, int32_t value);
  static void WordAttr(ZHTML& html, const char* name, const ZString& word);
  static void FlagAttr(ZHTML& html, const char* name, bool present);
  // A number written even when it is 0 or negative.
  static void ValueAttr(ZHTML& html, const char* name, int32_t value);

  ZString tagName;
  ZString attr;
  int inElement;
  int reqElement;
  int crlfMode;
};

class ZHTMLRoot : public ZHTMLElement {
  Z_CLASS(ZHTMLRoot, ZHTMLElement)
 public:
  ZHTMLRoot();
};

// HEAD opens HTML first; it may not follow BODY.
class ZHTMLHead : public ZHTMLElement {
  Z_CLASS(ZHTMLHead, ZHTMLElement)
 public:
  ZHTMLHead();
  void Output(ZHTML& html) const override;
};

// BODY opens HTML and closes TITLE and HEAD first; closing BODY closes HTML.
class ZHTMLBody : public ZHTMLElement {
  Z_CLASS(ZHTMLBody, ZHTMLElement)
 public:
  ZHTMLBody();
  void Output(ZHTML& html) const override;
};

// TITLE opens HEAD (and HTML) first; with a text it writes the whole title
// (or, when TITLE is already open, the text and the closing tag). The text
// is escaped.
class ZHTMLTitle : public ZHTMLElement {
  Z_CLASS(ZHTMLTitle, ZHTMLElement)
 public:
  explicit ZHTMLTitle(const char* titleText = "");
  void Output(ZHTML& html) const override;

 private:
  ZString text;
};

class ZHTMLBanner : public ZHTMLElement {
  Z_CLASS(ZHTMLBanner, ZHTMLElement)
 public:
  ZHTMLBanner();
};

// H1..H6; another level is reported as "Bad heading number".
class ZHTMLHeading : public ZHTMLElement {
  Z_CLASS(ZHTMLHeading, ZHTMLElement)
 public:
  explicit ZHTMLHeading(int headingLevel = 1, const char* imageSource = "", int32_t sequenceNumber = 0,
                        int32_t skipCount = 0);
  void AddAttr(ZHTML& html) const override;

 private:
  int level;
  ZString image;
  int32_t seqNum;
  int32_t skip;
};

class ZHTMLBreak : public ZHTMLElement {
  Z_CLASS(ZHTMLBreak, ZHTMLElement)
 public:
  ZHTMLBreak();
};

class ZHTMLParagraph : public ZHTMLElement {
  Z_CLASS(ZHTMLParagraph, ZHTMLElement)
 public:
  ZHTMLParagraph();
};

class ZHTMLPreformatted : public ZHTMLElement {
  Z_CLASS(ZHTMLPreformatted, ZHTMLElement)
 public:
  explicit ZHTMLPreformatted(int32_t lineWidth = 0);
  void AddAttr(ZHTML& html) const override;

 private:
  int32_t width;
};

// A hot link: opened with a URL, closed by streaming another (usually
// without a URL). Opening one without a URL is reported.
class ZHTMLHotLink : public ZHTMLElement {
  Z_CLASS(ZHTMLHotLink, ZHTMLElement)
 public:
  explicit ZHTMLHotLink(const char* linkURL = "");
  void AddAttr(ZHTML& html) const override;

 private:
  ZString url;
};

// A named place a hot link can point to.
class ZHTMLTarget : public ZHTMLElement {
  Z_CLASS(ZHTMLTarget, ZHTMLElement)
 public:
  explicit ZHTMLTarget(const char* targetName);
  void AddAttr(ZHTML& html) const override;

 private:
  ZString name;
};

// An image; the source is required.
class ZHTMLImage : public ZHTMLElement {
  Z_CLASS(ZHTMLImage, ZHTMLElement)
 public:
  explicit ZHTMLImage(const char* imageSource, const char* altText = "", int32_t pixelWidth = 0,
                      int32_t pixelHeight = 0);
  void AddAttr(ZHTML& html) const override;

 private:
  ZString source;
  ZString alt;
  int32_t width;
  int32_t height;
};

class ZHTMLRule : public ZHTMLElement {
  Z_CLASS(ZHTMLRule, ZHTMLElement)
 public:
  ZHTMLRule();
};

class ZHTMLNote : public ZHTMLElement {
  Z_CLASS(ZHTMLNote, ZHTMLElement)
 public:
  ZHTMLNote();
};

class ZHTMLAddress : public ZHTMLElement {
  Z_CLASS(ZHTMLAddress, ZHTMLElement)
 public:
  ZHTMLAddress();
};

class ZHTMLBlockQuote : public ZHTMLElement {
  Z_CLASS(ZHTMLBlockQuote, ZHTMLElement)
 public:
  ZHTMLBlockQuote();
};

// A credit line inside a block quote.
class ZHTMLCredit : public ZHTMLElement {
  Z_CLASS(ZHTMLCredit, ZHTMLElement)
 public:
  ZHTMLCredit();
};

// A tab stop; negative numbers are absent.
class ZHTMLTab : public ZHTMLElement {
  Z_CLASS(ZHTMLTab, ZHTMLElement)
 public:
  explicit ZHTMLTab(int32_t stopId = -1, int32_t indentWidth = -1, int32_t toStop = -1);
  void AddAttr(ZHTML& html) const override;

 private:
  int32_t id;
  int32_t indent;
  int32_t to;
};

// Simple (UL PLAIN), bullet (UL) and ordered (OL) lists.
class ZHTMLList : public ZHTMLElement {
  Z_CLASS(ZHTMLList, ZHTMLElement)
 public:
  enum Kind { Simple = 0, Bullet = 1, Ordered = 2 };
  explicit ZHTMLList(Kind listKind = Bullet, int32_t sequenceNumber = 0, bool continuesPrevious = false);
  void AddAttr(ZHTML& html) const override;

 private:
  Kind kind;
  int32_t seqNum;
  bool continued;
};

class ZHTMLListHeader : public ZHTMLElement {
  Z_CLASS(ZHTMLListHeader, ZHTMLElement)
 public:
  ZHTMLListHeader();
};

class ZHTMLListItem : public ZHTMLElement {
  Z_CLASS(ZHTMLListItem, ZHTMLElement)
 public:
  explicit ZHTMLListItem(int32_t skipCount = 0);
  void AddAttr(ZHTML& html) const override;

 private:
  int32_t skip;
};

class ZHTMLDefinitionList : public ZHTMLElement {
  Z_CLASS(ZHTMLDefinitionList, ZHTMLElement)
 public:
  ZHTMLDefinitionList();
};

// A term; the previous term must have had its item.
class ZHTMLDefinitionTerm : public ZHTMLElement {
  Z_CLASS(ZHTMLDefinitionTerm, ZHTMLElement)
 public:
  ZHTMLDefinitionTerm();
  void AddAttr(ZHTML& html) const override;
};

// The item of the pending term.
class ZHTMLDefinitionItem : public ZHTMLElement {
  Z_CLASS(ZHTMLDefinitionItem, ZHTMLElement)
 public:
  ZHTMLDefinitionItem();
  void AddAttr(ZHTML& html) const override;
};

class ZHTMLTable : public ZHTMLElement {
  Z_CLASS(ZHTMLTable, ZHTMLElement)
 public:
  explicit ZHTMLTable(bool withBorder = false);
  void AddAttr(ZHTML& html) const override;

 private:
  bool bordered;
};

class ZHTMLTableRow : public ZHTMLElement {
  Z_CLASS(ZHTMLTableRow, ZHTMLElement)
 public:
  ZHTMLTableRow();
};

class ZHTMLTableHeading : public ZHTMLElement {
  Z_CLASS(ZHTMLTableHeading, ZHTMLElement)
 public:
  ZHTMLTableHeading();
};

class ZHTMLTableData : public ZHTMLElement {
  Z_CLASS(ZHTMLTableData, ZHTMLElement)
 public:
  ZHTMLTableData();
};

// A form; without an action it posts back to the page's own URL.
class ZHTMLForm : public ZHTMLElement {
  Z_CLASS(ZHTMLForm, ZHTMLElement)
 public:
  explicit ZHTMLForm(const char* formMethod = "", const char* actionURL = "", const char* encoding = "",
                     const char* scriptURL = "");
  void AddAttr(ZHTML& html) const override;

 private:
  ZString method;
  ZString action;
  ZString encType;
  ZString script;
};

// A selection list; the name is required on the opening tag.
class ZHTMLSelect : public ZHTMLElement {
  Z_CLASS(ZHTMLSelect, ZHTMLElement)
 public:
  explicit ZHTMLSelect(const char* controlName = "", bool isDisabled = false);
  void AddAttr(ZHTML& html) const override;

 private:
  ZString name;
  bool disabled;
};

// One option of a selection list; its text follows it in the page.
class ZHTMLOption : public ZHTMLElement {
  Z_CLASS(ZHTMLOption, ZHTMLElement)
 public:
  explicit ZHTMLOption(bool isSelected = false, bool isDisabled = false);
  void AddAttr(ZHTML& html) const override;

 private:
  bool selected;
  bool disabled;
};

class ZHTMLTextArea : public ZHTMLElement {
  Z_CLASS(ZHTMLTextArea, ZHTMLElement)
 public:
  explicit ZHTMLTextArea(const char* controlName = "", int32_t rowCount = 0, int32_t columnCount = 0,
                         bool isDisabled = false);
  void AddAttr(ZHTML& html) const override;

 private:
  ZString name;
  int32_t rows;
  int32_t cols;
  bool disabled;
};

// An input control: TYPE, NAME, the attributes of its type, DISABLED. The
// name is required, except on reset and submit buttons.
class ZHTMLInput : public ZHTMLElement {
  Z_CLASS(ZHTMLInput, ZHTMLElement)
 public:
  ZHTMLInput(const char* inputType, const char* controlName, bool isDisabled = false);
  void AddAttr(ZHTML& html) const override;

 protected:
  // The attributes of the type; the base writes none.
  virtual void AddTypeAttr(ZHTML& html) const;
  virtual bool NeedsName() const { return true; }

  ZString type;
  ZString name;
  bool disabled;
};

// "text" and "password": SIZE, MAXLENGTH, VALUE (the value is text).
class ZHTMLTextInput : public ZHTMLInput {
  Z_CLASS(ZHTMLTextInput, ZHTMLInput)
 public:
  explicit ZHTMLTextInput(const char* controlName, int32_t boxWidth = 0, int32_t maxChars = 0,
                          const char* initialValue = "", bool isDisabled = false);

 protected:
  ZHTMLTextInput(const char* inputType, const char* controlName, int32_t boxWidth, int32_t maxChars,
                 const char* initialValue, bool isDisabled);
  void AddTypeAttr(ZHTML& html) const override;

 private:
  int32_t size;
  int32_t maxLength;
  ZString value;
};

class ZHTMLPasswordInput : public ZHTMLTextInput {
  Z_CLASS(ZHTMLPasswordInput, ZHTMLTextInput)
 public:
  explicit ZHTMLPasswordInput(const char* controlName, int32_t boxWidth = 0, int32_t maxChars = 0,
                              const char* initialValue = "", bool isDisabled = false);
};

// "checkbox" and "radio": VALUE (a word), CHECKED.
class ZHTMLCheckBox : public ZHTMLInput {
  Z_CLASS(ZHTMLCheckBox, ZHTMLInput)
 public:
  explicit ZHTMLCheckBox(const char* controlName, const char* postedValue = "", bool isChecked = false,
                         bool isDisabled = false);

 protected:
  ZHTMLCheckBox(const char* inputType, const char* controlName, const char* postedValue, bool isChecked,
                bool isDisabled);
  void AddTypeAttr(ZHTML& html) const override;

 private:
  ZString value;
  bool checked;
};

class ZHTMLRadioButton : public ZHTMLCheckBox {
  Z_CLASS(ZHTMLRadioButton, ZHTMLCheckBox)
 public:
  ZHTMLRadioButton(const char* controlName, const char* postedValue, bool isChecked = false, bool isDisabled = false);
};

// "range": VALUE, MAX, MIN, SIZE. Browsers draw it as a slider without a
// readable value; ZHTMLNumberInput takes the same numbers as a text box.
class ZHTMLRangeInput : public ZHTMLInput {
  Z_CLASS(ZHTMLRangeInput, ZHTMLInput)
 public:
  ZHTMLRangeInput(const char* controlName, int32_t minimum, int32_t maximum, int32_t initialValue, int32_t boxWidth = 0,
                  bool isDisabled = false);

 protected:
  ZHTMLRangeInput(const char* inputType, const char* controlName, int32_t minimum, int32_t maximum,
                  int32_t initialValue, int32_t boxWidth, bool isDisabled);
  void AddTypeAttr(ZHTML& html) const override;

 private:
  int32_t low;
  int32_t high;
  int32_t value;
  int32_t size;
};

// "number": the attributes of "range".
class ZHTMLNumberInput : public ZHTMLRangeInput {
  Z_CLASS(ZHTMLNumberInput, ZHTMLRangeInput)
 public:
  ZHTMLNumberInput(const char* controlName, int32_t minimum, int32_t maximum, int32_t initialValue,
                   int32_t boxWidth = 0, bool isDisabled = false);
};

// "file": ACCEPT.
class ZHTMLFileInput : public ZHTMLInput {
  Z_CLASS(ZHTMLFileInput, ZHTMLInput)
 public:
  explicit ZHTMLFileInput(const char* controlName, const char* acceptedTypes = "", bool isDisabled = false);

 protected:
  void AddTypeAttr(ZHTML& html) const override;

 private:
  ZString accept;
};

// "image" and "scribble": SRC.
class ZHTMLImageInput : public ZHTMLInput {
  Z_CLASS(ZHTMLImageInput, ZHTMLInput)
 public:
  ZHTMLImageInput(const char* controlName, const char* imageSource, bool isDisabled = false);

 protected:
  ZHTMLImageInput(const char* inputType, const char* controlName, const char* imageSource, bool isDisabled);
  void AddTypeAttr(ZHTML& html) const override;

 private:
  ZString source;
};

class ZHTMLScribbleInput : public ZHTMLImageInput {
  Z_CLASS(ZHTMLScribbleInput, ZHTMLImageInput)
 public:
  ZHTMLScribbleInput(const char* controlName, const char* imageSource, bool isDisabled = false);
};

// "reset" and "submit": VALUE, the label (text). The name may be empty.
class ZHTMLResetButton : public ZHTMLInput {
  Z_CLASS(ZHTMLResetButton, ZHTMLInput)
 public:
  explicit ZHTMLResetButton(const char* buttonLabel = "", const char* controlName = "", bool isDisabled = false);

 protected:
  ZHTMLResetButton(const char* inputType, const char* buttonLabel, const char* controlName, bool isDisabled);
  void AddTypeAttr(ZHTML& html) const override;
  bool NeedsName() const override { return false; }

 private:
  ZString label;
};

class ZHTMLSubmitButton : public ZHTMLResetButton {
  Z_CLASS(ZHTMLSubmitButton, ZHTMLResetButton)
 public:
  explicit ZHTMLSubmitButton(const char* buttonLabel = "", const char* controlName = "", bool isDisabled = false);
};
