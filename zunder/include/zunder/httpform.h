// HTML forms served as HTTP resources: fields that render themselves as
// form controls, check posted text and hold a value; ZHTTPForm, a page of
// such fields in a table that accepts a POST of new values; and
// ZHTTPConfig, a form bound to one section of the configuration store,
// which writes accepted values back to that section.
//
// Field values are shown escaped in the page (VALUE attributes and option
// texts), whatever a client posted before.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "zunder/config.h"
#include "zunder/http.h"

// ---------------------------------------------------------------- fields

class ZHTTPField : public ZObject {
  Z_CLASS(ZHTTPField, ZObject)
 public:
  // The title defaults to the name.
  explicit ZHTTPField(const char* fieldName, const char* fieldTitle = nullptr);

  // Streams the control into the page.
  virtual void GetHTML(ZHTML& html) = 0;
  virtual ZString GetValue() const = 0;
  virtual void SetValue(const char* text) = 0;
  // True when the posted text is acceptable; otherwise a message is added
  // to msg. The base accepts everything.
  virtual bool Validate(const char* text, ZHTML& msg);

  // Help shown beside the control: a hot link with a text, or with an image.
  void SetHelp(const char* url, const char* text);
  void SetHelp(const char* url, const char* image, const char* alt);
  // Help as the caller's own markup.
  void SetHelpHTML(const char* html) { help = html; }

  const ZCaselessString& GetName() const { return name; }
  const ZString& GetTitle() const { return title; }
  const ZString& GetHelp() const { return help; }
  // True until the control has been written into a page by BuildHTML.
  bool IsNotInHTML() const { return notInHTML; }
  void SetNotInHTML(bool notYet) { notInHTML = notYet; }

 private:
  ZCaselessString name;
  ZString title;
  ZString help;
  bool notInHTML = true;
};

// A line of text.
class ZHTTPStringField : public ZHTTPField {
  Z_CLASS(ZHTTPStringField, ZHTTPField)
 public:
  ZHTTPStringField(const char* fieldName, const char* initialValue = "", int32_t boxWidth = 0,
                   const char* fieldTitle = nullptr);
  void GetHTML(ZHTML& html) override;
  ZString GetValue() const override { return value; }
  void SetValue(const char* text) override { value = text != nullptr ? text : ""; }

 protected:
  ZString value;
  int32_t size;
};

// A line of text that the browser does not show.
class ZHTTPPasswordField : public ZHTTPStringField {
  Z_CLASS(ZHTTPPasswordField, ZHTTPStringField)
 public:
  using ZHTTPStringField::ZHTTPStringField;
  void GetHTML(ZHTML& html) override;
};

// A whole number between lowest and highest (inclusive), shown as a number box
// with the units after it.
class ZHTTPIntegerField : public ZHTTPField {
  Z_CLASS(ZHTTPIntegerField, ZHTTPField)
 public:
  ZHTTPIntegerField(const char* fieldName, int32_t lowest, int32_t highest, int32_t initialValue,
                    const char* unitText = "", const char* fieldTitle = nullptr);
  void GetHTML(ZHTML& html) override;
  ZString GetValue() const override;
  // A text that is not a number within the bounds leaves the value.
  void SetValue(const char* text) override;
  bool Validate(const char* text, ZHTML& msg) override;

  int32_t GetInteger() const { return value; }

  // The decimal number of the text (blanks around it allowed).
  static bool ParseInteger(const char* text, int32_t& number);

 private:
  int32_t low;
  int32_t high;
  int32_t value;
  ZString units;
};

// A check box; its value reads "T" or "F".
class ZHTTPBooleanField : public ZHTTPField {
  Z_CLASS(ZHTTPBooleanField, ZHTTPField)
 public:
  explicit ZHTTPBooleanField(const char* fieldName, bool initialValue = false, const char* fieldTitle = nullptr);
  void GetHTML(ZHTML& html) override;
  ZString GetValue() const override { return value ? "T" : "F"; }
  // False only for a text beginning with "F".
  void SetValue(const char* text) override;

  bool GetBoolean() const { return value; }

 private:
  bool value;
};

// One of several values, as radio buttons (titles default to the values).
class ZHTTPRadioField : public ZHTTPField {
  Z_CLASS(ZHTTPRadioField, ZHTTPField)
 public:
  ZHTTPRadioField(const char* fieldName, const ZStringArray& choices, ZIndex initial = 0,
                  const ZStringArray* choiceTitles = nullptr, const char* fieldTitle = nullptr);
  void GetHTML(ZHTML& html) override;
  ZString GetValue() const override { return value; }
  void SetValue(const char* text) override { value = text != nullptr ? text : ""; }

 private:
  ZStringArray values;
  ZStringArray titles;
  ZString value;
};

// One of several values, as a selection list.
class ZHTTPSelectField : public ZHTTPField {
  Z_CLASS(ZHTTPSelectField, ZHTTPField)
 public:
  ZHTTPSelectField(const char* fieldName, const ZStringArray& choices, const char* initialValue = "",
                   const char* fieldTitle = nullptr);
  void GetHTML(ZHTML& html) override;
  ZString GetValue() const override { return value; }
  void SetValue(const char* text) override { value = text != nullptr ? text : ""; }

 private:
  ZStringArray values;
  ZString value;
};

// ---------------------------------------------------------------- forms

// A page of fields in a table inside an HTML form that posts back to the
// page's own URL.
class ZHTTPForm : public ZHTTPString {
  Z_CLASS(ZHTTPForm, ZHTTPString)
 public:
  // What BuildHTML does after the fields.
  enum BuildOption {
    CompletePage = 0,   // buttons, form and page closed; the page becomes the form's text
    LeaveFormOpen = 1,  // no buttons: more fields follow
    CloseForm = 2,      // buttons and form closed, the page left open
  };

  explicit ZHTTPForm(const ZURL& url, const ZHTTPAuthority* access = nullptr);

  // Takes ownership. A second field of the same name is reported ("Field
  // already on form!") and deleted.
  void Add(ZHTTPField* field);
  ZHTTPField* GetField(const char* name) const;
  ZIndex GetFieldCount() const;

  // Writes the fields not yet written into the page.
  void BuildHTML(ZHTML& html, int option = CompletePage);

  // Validates every posted field; when all are acceptable, takes their
  // values. The answer page says which fields were refused (400), that
  // nothing was posted (204), or that the values were accepted.
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;

 protected:
  // Checks one posted field (under the form's lock), with the whole post
  // at hand for checks that span fields; the base asks the field alone.
  virtual bool ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& data, ZHTML& msg);

  // Guards the fields' values: connections post and render concurrently.
  mutable std::mutex formLock;
  std::vector<std::unique_ptr<ZHTTPField>> fields;

 private:
  ZHTTPField* FindField(const char* name) const;
};

// A form bound to a section of the configuration store.
class ZHTTPConfig : public ZHTTPForm {
  Z_CLASS(ZHTTPConfig, ZHTTPForm)
 public:
  // store names where the section lives (its own default section is not
  // used).
  ZHTTPConfig(const ZURL& url, const char* sectionName, const ZConfig& settings = ZConfig(),
              const ZHTTPAuthority* access = nullptr);

  // Loads each field from the section; an absent key keeps the field's value.
  void SetConfigValues();
  // Two fields that together add an entry: the key named by the first's
  // value, with the second's value. Both are added to the form.
  void AddNewKeyFields(ZHTTPField* keyField, ZHTTPField* valueField);
  // The form's Post, then the posted fields are written to the section. A
  // post that would write a key the store cannot read back as the same key
  // (see ZConfig::IsStorableKey), from the key field or from a field's own
  // name, is refused with the field named.
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;

  const ZString& GetSection() const { return section; }

 protected:
  bool ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& data, ZHTML& msg) override;

 private:
  ZString section;
  ZConfig store;
  ZHTTPField* keyField = nullptr;
  ZHTTPField* valueField = nullptr;
};
