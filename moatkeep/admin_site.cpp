#include "admin_site.h"

#include <functional>

#include "http_tunnel.h"
#include "remote_system.h"
#include "settings_names.h"
#include "zunder/config.h"
#include "zunder/remote.h"

namespace {

const char* const kSiteFiles[] = {"moatkeep.gif",  "help.gif",      "help.html",     "ctlhelp.html",  "globlhlp.html",
                                  "relayhlp.html", "remothlp.html", "remtnhlp.html", "securhlp.html", "homepage.html"};

// A field with the image help link beside it.
ZHTTPField* WithHelp(ZHTTPField* field, const char* helpURL) {
  field->SetHelpHTML(AdminHelpImage(helpURL).Text());
  return field;
}

// A number of a form: its key, bounds, default, unit and help.
struct NumberField {
  const char* key;
  int32_t low;
  int32_t high;
  int32_t initial;
  const char* units;
  const char* helpURL;
};

const NumberField kGlobalNumbers[] = {
    {Settings::kLogLevel, 0, 3, 2, "0=Fatal only, 1=Errors, 2=Warnings, 3=Log All", "globlhlp.html#loglevel"},
    {Settings::kSocksTimeout, 1, 1000, 10, "seconds", "globlhlp.html#sockstimeout"},
    {Settings::kLinkTimeout, 1, 1000, 60, "minutes", "globlhlp.html#linktimeout"},
    {Settings::kUdpTimeout, 1, 1000, 60, "seconds", "globlhlp.html#udptimeout"},
    {Settings::kUdpRetries, 1, 100, 3, "", "globlhlp.html#udpretries"},
    {Settings::kHttpPort, 1, 32767, 1082, "", "globlhlp.html#httpport"},
};

const NumberField kRemoteNumbers[] = {
    {Settings::kDialRetries, 1, 100, 3, "", "remtnhlp.html#dialretries"},
    {Settings::kDisconnectTime, 1, 100, 30, "minutes", "remtnhlp.html#disconnecttime"},
    {Settings::kConnectionTimeLimit, 0, 500, 0, "hours", "remtnhlp.html#connection"},
    {Settings::kConnectionTimePeriod, 0, 25, 0, "days", "remtnhlp.html#connection"},
};

template <size_t count>
void AddNumbers(ZHTTPForm& form, const NumberField (&fields)[count]) {
  for (const NumberField& f : fields) {
    form.Add(WithHelp(new ZHTTPIntegerField(f.key, f.low, f.high, f.initial, f.units), f.helpURL));
  }
}

void AddWelcome(ZHTTPSpace& space) {
  ZHTML page;
  page << ZHTMLTitle("Welcome to the Moatkeep") << ZHTMLBody();
  ZHTMLImage logo = AdminLogo();
  logo.SetAttr("align=absmiddle");
  page << ZHTMLHeading(1) << "<CENTER>\r\n"
       << "Welcome to " << logo << ZHTMLHeading(1) << BuiltInLoginNotice() << AdminSystemLine();
  page << ZHTMLBreak() << AdminBuildDate("d MMMM yy") << " " << ZHTMLParagraph() << ZHTMLRule() << ZHTMLParagraph()
       << ZHTMLParagraph() << ZHTMLRule() << ZHTMLParagraph();
  page << "First time users select " << ZHTMLHotLink("help.html#getstart_nt") << "here" << ZHTMLHotLink()
       << " for more instructions on how to set up <EM>Moatkeep</EM> for the first time." << ZHTMLParagraph()
       << ZHTMLRule();
  ZHTMLTable menu;
  menu.SetAttr("CellPadding=5");
  page << menu << "Select one of the options below:";
  const char* const rows[2][3][2] = {
      {{"control.html", "Status &amp; Control"}, {"relays.html", "Relay Agents"}, {"security.html", "Security"}},
      {{"remotes.html", "Dialup Configuration"},
       {"globals.html", "Global Configuration"},
       {"help.html", "Online Help"}},
  };
  for (const auto& row : rows) {
    page << ZHTMLTableRow();
    for (const auto& cell : row) page << ZHTMLTableData() << ZHTMLHotLink(cell[0]) << cell[1] << ZHTMLHotLink();
  }
  page << ZHTMLTable();
  page << ZHTMLRule() << ZHTMLParagraph() << ZHTMLHotLink("homepage.html#relnotes") << "Release notes" << ZHTMLHotLink()
       << " on this version of Moatkeep are available." << ZHTMLParagraph() << ZHTMLRule() << ZHTMLHeading(3)
       << AdminVendorLine() << ZHTMLHeading(3) << ZHTMLBody();
  space.AddResource(new ZHTTPString(ZURL("welcome.html"), page.Text()), true);
}

void AddGlobals(ReloadRequester& service, const AdminLogin& login, ZHTTPSpace& space, const ZHTTPAuthority& authority) {
  auto* form = new GlobalsPage(service, authority);
  ProxyHTML page("Global Parameters", "globlhlp.html");
  AddNumbers(*form, kGlobalNumbers);
  form->Add(
      WithHelp(new ConnectPortsField(Settings::kConnectPorts, ConnectPorts::kDefault), "globlhlp.html#connectports"));
  form->Add(WithHelp(new ZHTTPStringField(Settings::kUsername, login.username.Text(), 25), "globlhlp.html#username"));
  auto* password = new KeptPasswordField(Settings::kPassword, 25);
  password->SetHelpHTML(KeptPasswordField::kNote);
  form->Add(password);
  form->Add(
      WithHelp(new CheckedField(CheckedField::HostNames, Settings::kAdminHostNames), "globlhlp.html#adminhostnames"));
  form->SetConfigValues();
  form->BuildHTML(page, ZHTTPForm::CompletePage);
  space.AddResource(form, true);
}

// A page of one of the tables (relays, restrictions): an editable row per
// key of the section, then the fields that add a new entry.
struct TablePage {
  // Where a part of the page starts: its target, help and heading.
  struct Part {
    const char* target;
    const char* help;
    const char* heading;
  };
  struct Field {
    CheckedField::Kind kind;
    const char* name;
  };
  const char* title;
  const char* help;
  Part list;
  CheckedField::Kind rows;
  const char* none;  // shown instead of an empty list
  Part add;
  Field newKey;
  Field newValue;
};

const TablePage kRelaysPage = {"Relay Agents",
                               "relayhlp.html",
                               {"listrelays", "relayhlp.html#removehelp", "Currently Active Relays "},
                               CheckedField::RelayDestination,
                               "No relays active.",
                               {"addremoverelay", "relayhlp.html#addhelp", "Add New Relay "},
                               {CheckedField::ServiceDescription, "New relay service"},
                               {CheckedField::RelayDestination, "New relay destination"}};

const TablePage kSecurityPage = {"Security Configuration",
                                 "securhlp.html",
                                 {"listvalid", "securhlp.html#list", "Currently Active Restrictions "},
                                 CheckedField::RestrictionPattern,
                                 "No security restrictions active.",
                                 {"addrestriction", "securhlp.html#adding", "Add New Access Restrictions "},
                                 {CheckedField::RestrictionPattern, SecurityPage::kOriginator},
                                 {CheckedField::RestrictionPattern, SecurityPage::kDestination}};

// extra: parts of the page after the table's, before the page closes.
void AddTablePage(ConfigPage* form, const TablePage& layout, ZHTTPSpace& space,
                  const std::function<void(ZHTML&)>& extra = {}) {
  ZConfig config(ZConfig::Application);
  const char* section = form->GetSection().Text();
  ProxyHTML page(layout.title, layout.help);
  page << ZHTMLRule() << ZHTMLTarget(layout.list.target);
  AddHelpHeading(page, layout.list.help, layout.list.heading);
  const ZStringList keys = config.GetKeys(section);
  ZIndex shown = 0;
  for (ZIndex i = 0; i < keys.GetSize(); ++i) {
    const ZString key = *keys.GetAt(i);
    if (config.GetString(section, key.Text(), "").IsEmpty()) continue;
    // The key is configured text, shown as the row's title: escaped.
    form->Add(new CheckedField(layout.rows, key.Text(), ZHTML::Escape(key.Text()).Text()));
    ++shown;
  }
  form->SetConfigValues();
  if (shown == 0) {
    page << layout.none << ZHTMLBreak();
  } else {
    form->BuildHTML(page, ZHTTPForm::LeaveFormOpen);
  }
  page << ZHTMLRule() << ZHTMLTarget(layout.add.target);
  AddHelpHeading(page, layout.add.help, layout.add.heading);
  form->AddNewKeyFields(new CheckedField(layout.newKey.kind, layout.newKey.name),
                        new CheckedField(layout.newValue.kind, layout.newValue.name));
  form->BuildHTML(page, ZHTTPForm::CloseForm);
  page << ZHTMLRule();
  if (extra) extra(page);
  page << ZHTMLBody();
  form->SetText(ZString(page.Text()));
  space.AddResource(form, true);
}

// The Security page's "SOCKS Users" part: the users by name (never a
// password), and a form of its own that adds or removes one.
void AddSocksUsers(ReloadRequester& service, ZHTML& page, ZHTTPSpace& space, const ZHTTPAuthority& authority) {
  ZConfig config(ZConfig::Application);
  ZStringArray users;
  const ZStringList keys = config.GetKeys(Settings::kSocksUsers);
  for (ZIndex i = 0; i < keys.GetSize(); ++i) {
    const ZString key = *keys.GetAt(i);
    if (!config.GetString(Settings::kSocksUsers, key.Text(), "").IsEmpty()) users.Append(key);
  }
  auto* form = new SocksUsersPage(service, authority, users);
  page << ZHTMLTarget("socksusers");
  AddHelpHeading(page, "securhlp.html#socksusers", "SOCKS Users ");
  if (users.GetSize() == 0) {
    page << "No SOCKS users: SOCKS 5 clients connect without authentication." << ZHTMLBreak();
  } else {
    page << "SOCKS 5 clients log in as one of:" << ZHTMLBreak();
    for (ZIndex i = 0; i < users.GetSize(); ++i) page << ZHTML::Escape(users.GetAt(i)->Text()) << ZHTMLBreak();
  }
  page << ZHTMLForm("POST", SocksUsersPage::kURL);
  form->BuildHTML(page, ZHTTPForm::CloseForm);
  page << ZHTMLRule();
  // Asked for on its own, the form's address shows where the part is.
  ProxyHTML own("SOCKS Users", "securhlp.html");
  own << "The SOCKS users are listed on the " << ZHTMLHotLink("security.html#socksusers") << "Security"
      << ZHTMLHotLink() << " page." << ZHTMLBody();
  form->SetText(ZString(own.Text()));
  space.AddResource(form, true);
}

// The page of one remote system: its parameters and its relay overrides.
ConfigPage* RemotePage(ReloadRequester& service, const ZString& section, const ZString& storedName,
                       const ZHTTPAuthority& authority) {
  ZConfig config(ZConfig::Application);
  auto* form = new ConfigPage(service, section.Text(), authority);
  ProxyHTML page(ZHTML::Escape(("Parameters for " + section).Text()).Text(), "remtnhlp.html");
  ZStringArray choices = ZRemoteConnection::GetAvailableNames();
  bool listed = false;
  for (ZIndex i = 0; i < choices.GetSize(); ++i) listed = listed || *choices.GetAt(i) == storedName;
  // A name no longer in the phonebook stays choosable, so a post does not
  // change it unasked.
  if (!listed && !storedName.IsEmpty()) choices.Append(storedName);
  form->Add(WithHelp(new ZHTTPSelectField(Settings::kRemoteName, choices, storedName.Text()), "remtnhlp.html#name"));
  AddNumbers(*form, kRemoteNumbers);
  form->SetConfigValues();
  form->BuildHTML(page, ZHTTPForm::LeaveFormOpen);
  page << ZHTMLRule();
  AddHelpHeading(page, "remtnhlp.html#overrides", "Relay Overrides ");
  const ZStringList relays = config.GetKeys(Settings::kRelays);
  for (ZIndex i = 0; i < relays.GetSize(); ++i) {
    const ZString key = *relays.GetAt(i);
    form->Add(new CheckedField(CheckedField::RelayDestination, key.Text(), ZHTML::Escape(key.Text()).Text()));
  }
  form->SetConfigValues();
  form->BuildHTML(page, ZHTTPForm::CloseForm);
  page << ZHTMLBody();
  form->SetText(ZString(page.Text()));
  return form;
}

void AddRemotes(ReloadRequester& service, ZHTTPSpace& space, const ZHTTPAuthority& authority) {
  ZConfig config(ZConfig::Application);
  ProxyHTML page("Dialup Configuration", "remothlp.html");
  page << ZHTMLRule() << ZHTMLForm("POST") << ZHTMLTable();
  for (uint32_t number = 1;; ++number) {
    const ZString section = RemoteSectionName(number);
    const ZString name = config.GetString(section.Text(), Settings::kRemoteName, "");
    // The page for a new remote starts from the defaults.
    if (name.IsEmpty()) config.DeleteSection(section.Text());
    space.AddResource(RemotePage(service, section, name, authority), true);
    ZHTMLTableData label;
    label.SetAttr("align=right");
    page << ZHTMLTableRow() << label << section << ZHTMLTableData() << " ==> "
         << ZHTMLHotLink(ConfigPage::PageName(section.Text()).Text())
         << (name.IsEmpty() ? ZString("Add new remote") : ZHTML::Escape(name.Text())) << ZHTMLHotLink();
    if (name.IsEmpty()) break;
    page << ZHTMLTableData() << ZHTMLSubmitButton("Remove", section.Text());
  }
  page << ZHTMLTable() << ZHTMLForm() << ZHTMLBody();
  space.AddResource(new RemoteListPage(service, authority, ZString(page.Text())), true);
}

}  // namespace

namespace AdminSite {

void AddFiles(ZHTTPSpace& space, const ZString& directory) {
  for (const char* name : kSiteFiles) {
    auto* file = new ProxyHTTPFile(name, (directory + name).Text());
    if (!space.AddResource(file, false)) delete file;
  }
}

void Build(AdminService& service, ZHTTPSpace& space) {
  const AdminLogin login = service.GetLogin();
  const ZHTTPSimpleAuth authority("Moatkeep", login.username.Text(), login.password.Text());
  AddWelcome(space);
  AddGlobals(service, login, space, authority);
  AddTablePage(new ConfigPage(service, Settings::kRelays, authority), kRelaysPage, space);
  AddTablePage(new SecurityPage(service, authority), kSecurityPage, space,
               [&](ZHTML& page) { AddSocksUsers(service, page, space, authority); });
  AddRemotes(service, space, authority);
  space.AddResource(new ControlPage(service, authority), true);
}

}  // namespace AdminSite
