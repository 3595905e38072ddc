// Form fields: their controls, values and checks.
#include <cstdlib>

#include "host_error.h"
#include "zunder/httpform.h"

ZHTTPField::ZHTTPField(const char* fieldName, const char* fieldTitle)
    : name(fieldName != nullptr ? fieldName : ""),
      title(fieldTitle != nullptr ? fieldTitle : (fieldName != nullptr ? fieldName : "")) {}

bool ZHTTPField::Validate(const char*, ZHTML&) { return true; }

void ZHTTPField::SetHelp(const char* url, const char* text) {
  help = "<A HREF=\"" + ZHTML::Escape(url) + "\">" + ZString(text != nullptr ? text : "") + "</A>\r\n";
}

void ZHTTPField::SetHelp(const char* url, const char* image, const char* alt) {
  help = "<A HREF=\"" + ZHTML::Escape(url) + "\"><IMG SRC=\"" + ZHTML::Escape(image) + "\" ALT=\"" +
         ZHTML::Escape(alt) + "\" ALIGN=absmiddle></A>\r\n";
}

// ---------------------------------------------------------------- text

ZHTTPStringField::ZHTTPStringField(const char* fieldName, const char* initialValue, int32_t boxWidth,
                                   const char* fieldTitle)
    : ZHTTPField(fieldName, fieldTitle), value(initialValue != nullptr ? initialValue : ""), size(boxWidth) {}

void ZHTTPStringField::GetHTML(ZHTML& html) { html << ZHTMLTextInput(GetName().Text(), size, 0, value.Text()); }

void ZHTTPPasswordField::GetHTML(ZHTML& html) { html << ZHTMLPasswordInput(GetName().Text(), size, 0, value.Text()); }

// ---------------------------------------------------------------- integer

ZHTTPIntegerField::ZHTTPIntegerField(const char* fieldName, int32_t lowest, int32_t highest, int32_t initialValue,
                                     const char* unitText, const char* fieldTitle)
    : ZHTTPField(fieldName, fieldTitle),
      low(lowest),
      high(highest),
      value(initialValue),
      units(unitText != nullptr ? unitText : "") {}

bool ZHTTPIntegerField::ParseInteger(const char* text, int32_t& number) {
  const ZString trimmed = ZString(text != nullptr ? text : "").Trim();
  if (trimmed.IsEmpty()) return false;
  // strtoll tells an overflow through the thread's last error alone.
  zhost::SetLastError(0);
  char* end = nullptr;
  const long long parsed = std::strtoll(trimmed.Text(), &end, 10);
  if (zhost::LastError() != 0 || end == trimmed.Text() || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) {
    return false;
  }
  number = static_cast<int32_t>(parsed);
  return true;
}

void ZHTTPIntegerField::GetHTML(ZHTML& html) {
  // A number box shows the value and can be typed into; the bounds are the
  // same as a slider's.
  html << ZHTMLNumberInput(GetName().Text(), low, high, value);
  if (!units.IsEmpty()) html << "  " << units;
}

ZString ZHTTPIntegerField::GetValue() const { return FormatText("%d", value); }

void ZHTTPIntegerField::SetValue(const char* text) {
  int32_t number = 0;
  if (ParseInteger(text, number) && number >= low && number <= high) value = number;
}

bool ZHTTPIntegerField::Validate(const char* text, ZHTML& msg) {
  int32_t number = 0;
  if (ParseInteger(text, number) && number >= low && number <= high) return true;
  msg << "The field \"" << GetName() << "\" should be between " << low << " and " << high << ".<BR>";
  return false;
}

// ---------------------------------------------------------------- boolean

ZHTTPBooleanField::ZHTTPBooleanField(const char* fieldName, bool initialValue, const char* fieldTitle)
    : ZHTTPField(fieldName, fieldTitle), value(initialValue) {}

void ZHTTPBooleanField::GetHTML(ZHTML& html) { html << ZHTMLCheckBox(GetName().Text(), "", value); }

void ZHTTPBooleanField::SetValue(const char* text) { value = text == nullptr || text[0] != 'F'; }

// ---------------------------------------------------------------- choices

ZHTTPRadioField::ZHTTPRadioField(const char* fieldName, const ZStringArray& choices, ZIndex initial,
                                 const ZStringArray* choiceTitles, const char* fieldTitle)
    : ZHTTPField(fieldName, fieldTitle), values(choices), titles(choiceTitles != nullptr ? *choiceTitles : choices) {
  value = initial >= 0 && initial < choices.GetSize() ? choices[initial] : ZString();
}

void ZHTTPRadioField::GetHTML(ZHTML& html) {
  for (ZIndex i = 0; i < values.GetSize(); ++i) {
    html << ZHTMLRadioButton(GetName().Text(), values[i].Text(), values[i] == value) << ZHTML::Escape(titles[i].Text())
         << ZHTMLBreak();
  }
}

ZHTTPSelectField::ZHTTPSelectField(const char* fieldName, const ZStringArray& choices, const char* initialValue,
                                   const char* fieldTitle)
    : ZHTTPField(fieldName, fieldTitle), values(choices), value(initialValue != nullptr ? initialValue : "") {}

void ZHTTPSelectField::GetHTML(ZHTML& html) {
  html << ZHTMLSelect(GetName().Text());
  for (ZIndex i = 0; i < values.GetSize(); ++i) {
    html << ZHTMLOption(values[i] == value) << ZHTML::Escape(values[i].Text());
  }
  html << ZHTMLSelect();
}
