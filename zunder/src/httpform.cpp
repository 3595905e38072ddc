// ZHTTPForm and ZHTTPConfig: pages of fields that accept posted values.
#include "zunder/httpform.h"

ZHTTPForm::ZHTTPForm(const ZURL& url, const ZHTTPAuthority* access) : ZHTTPString(url, "", "text/html", access) {}

ZHTTPField* ZHTTPForm::FindField(const char* name) const {
  for (const auto& field : fields) {
    if (field->GetName() == name) return field.get();
  }
  return nullptr;
}

void ZHTTPForm::Add(ZHTTPField* field) {
  if (field == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  std::unique_ptr<ZHTTPField> owned(field);
  std::lock_guard<std::mutex> guard(formLock);
  if (FindField(field->GetName().Text()) != nullptr) {
    Z_ASSERT_MESSAGE("Field already on form!");
    return;
  }
  fields.push_back(std::move(owned));
}

ZHTTPField* ZHTTPForm::GetField(const char* name) const {
  std::lock_guard<std::mutex> guard(formLock);
  return FindField(name);
}

ZIndex ZHTTPForm::GetFieldCount() const {
  std::lock_guard<std::mutex> guard(formLock);
  return static_cast<ZIndex>(fields.size());
}

void ZHTTPForm::BuildHTML(ZHTML& html, int option) {
  std::lock_guard<std::mutex> guard(formLock);
  if (!html.Is(ZHTML::FormContext)) html << ZHTMLForm("POST");
  html << ZHTMLTable();
  for (const auto& field : fields) {
    if (!field->IsNotInHTML()) continue;
    ZHTMLTableData title;
    title.SetAttr("align=right");
    ZHTMLTableData control;
    control.SetAttr("align=left");
    html << ZHTMLTableRow() << title << field->GetTitle() << control;
    field->GetHTML(html);
    field->SetNotInHTML(false);
    html << ZHTMLTableData() << field->GetHelp();
  }
  html << ZHTMLTable();
  if (option == LeaveFormOpen) return;
  html << ZHTMLParagraph() << ZHTMLSubmitButton("Accept") << " " << ZHTMLResetButton("Reset") << " " << ZHTMLForm();
  if (option != CompletePage) return;
  html << ZHTMLBody();
  SetText(ZString(html.Text()));
}

bool ZHTTPForm::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  msg = "Error in Request";
  if (data.GetSize() == 0) {
    msg << "No parameters changed." << ZHTMLBody();
    request.code = ZHTTPNoContent;
    return false;
  }
  std::lock_guard<std::mutex> guard(formLock);
  // Every posted field is checked, so that the page lists every refusal.
  bool accepted = true;
  for (const auto& field : fields) {
    const ZString* posted = data.GetAt(field->GetName());
    if (posted != nullptr && !ValidatePosted(*field, posted->Text(), data, msg)) accepted = false;
  }
  if (!accepted) {
    msg << ZHTMLBody();
    request.code = ZHTTPBadRequest;
    return false;
  }
  for (const auto& field : fields) {
    const ZString* posted = data.GetAt(field->GetName());
    if (posted != nullptr) field->SetValue(posted->Text());
  }
  msg = "Accepted New Configuration";
  msg << ZHTMLBody();
  return true;
}

bool ZHTTPForm::ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& /*data*/, ZHTML& msg) {
  return field.Validate(posted, msg);
}

// ---------------------------------------------------------------- ZHTTPConfig

ZHTTPConfig::ZHTTPConfig(const ZURL& url, const char* sectionName, const ZConfig& settings,
                         const ZHTTPAuthority* access)
    : ZHTTPForm(url, access), section(sectionName != nullptr ? sectionName : ""), store(settings) {}

void ZHTTPConfig::SetConfigValues() {
  std::lock_guard<std::mutex> guard(formLock);
  for (const auto& field : fields) {
    field->SetValue(store.GetString(section.Text(), field->GetName().Text(), field->GetValue().Text()).Text());
  }
}

void ZHTTPConfig::AddNewKeyFields(ZHTTPField* newKeyField, ZHTTPField* newValueField) {
  if (newKeyField == nullptr || newValueField == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    delete newKeyField;
    delete newValueField;
    return;
  }
  keyField = newKeyField;
  valueField = newValueField;
  Add(newKeyField);
  Add(newValueField);
}

bool ZHTTPConfig::ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& data, ZHTML& msg) {
  bool accepted = ZHTTPForm::ValidatePosted(field, posted, data, msg);
  if (&field == valueField) return accepted;
  // The key field names a new key with its text (none when empty); every
  // other field is written under its own name.
  const ZString key = &field == keyField ? ZString(posted) : ZString(field.GetName());
  if (&field == keyField && key.IsEmpty()) return accepted;
  if (!ZConfig::IsStorableKey(key.Text())) {
    msg << "The field \"" << ZHTML::Escape(field.GetName().Text())
        << "\" cannot be stored as a key: a key may not begin with [, ; or #, hold = or control characters, or"
           " begin or end with a blank.<BR>";
    accepted = false;
  }
  return accepted;
}

bool ZHTTPConfig::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  if (!ZHTTPForm::Post(request, data, msg)) return false;
  std::lock_guard<std::mutex> guard(formLock);
  std::vector<ZConfig::Setting> settings;
  for (const auto& field : fields) {
    if (data.GetAt(field->GetName()) == nullptr) continue;
    if (field.get() == valueField) continue;  // written under the key field's value
    if (field.get() == keyField) {
      const ZString key = keyField->GetValue();
      if (!key.IsEmpty()) settings.push_back(ZConfig::Setting{key, valueField->GetValue()});
      continue;
    }
    settings.push_back(ZConfig::Setting{field->GetName(), field->GetValue()});
  }
  // The whole form in one write: a crash half-way through leaves the
  // section as it was or as posted, never a mixture.
  store.SetStrings(section.Text(), settings);
  return true;
}
