#include "control_page.h"

#include <sstream>

#include "admin_pages.h"

namespace {

void SectionHeading(ZHTML& page, const char* helpURL, const char* text) {
  page << ZHTMLRule();
  AddHelpHeading(page, helpURL, text);
}

ZString IntervalText(const ZTimeInterval& interval) {
  std::ostringstream out;
  interval.Print(out);
  return ZString(out.str().c_str());
}

// The host's name as the page shows it: the reverse look-up, else dotted.
ZString HostName(const ZIPAddress& address) { return ZSocket::GetHostName(address); }

}  // namespace

ControlPage::ControlPage(StatusPageService& statusService, const ZHTTPAuthority& access)
    : ZHTTPString(ZURL("control.html"), "", "text/html", &access), service(statusService) {}

ZString ControlPage::ConnectedText(const ZTimeInterval& connected) {
  const int64_t seconds = connected.GetMilliseconds() / 1000;
  const int64_t h = seconds / 3600, m = (seconds / 60) % 60, s = seconds % 60;
  ZString text;
  if (h > 0) text += FormatText("%lld hours", static_cast<long long>(h));
  if (m > 0) text += FormatText("%s %lld minutes", h > 0 ? " and" : "", static_cast<long long>(m));
  if (h == 0 && s > 0) text += FormatText("%s %lld seconds", m > 0 ? " and" : "", static_cast<long long>(s));
  return text;
}

ZString ControlPage::RemainingText(const ZTimeInterval& remaining) {
  const int64_t seconds = remaining.GetMilliseconds() / 1000;
  const int64_t m = seconds / 60, s = seconds % 60;
  ZString text;
  if (m > 0) text += FormatText("%lld minutes", static_cast<long long>(m));
  if (s > 0) text += FormatText("%s %lld seconds", m > 0 ? " and" : "", static_cast<long long>(s));
  return text;
}

void ControlPage::OnLoadedText(ZHTTPRequest& request, ZString& loaded) {
  ProxyHTML page("Status &amp; Control", "ctlhelp.html");
  request.outMIME.SetAt("Refresh", "30");
  BuildDialUp(page);
  BuildHosts(page);
  BuildDataConnections(page);
  page << ZHTMLBody();
  loaded = ZString(page.Text());
}

void ControlPage::BuildDialUp(ZHTML& page) {
  SectionHeading(page, "ctlhelp.html#dialups", "Dialup Connections ");
  DialUpControl& dialUp = service.GetDialUp();
  if (dialUp.IsRemoteCurrent()) {
    const ZTimeInterval connected((ZTime::Now().GetSeconds() - dialUp.GetConnectTime().GetSeconds()) * 1000);
    const ZTimeInterval remaining = dialUp.GetInactivityRemaining();
    page << "The system has been connected for " << ConnectedText(connected) << " to "
         << ZHTML::Escape(dialUp.GetCurrentName().Text());
    if (remaining.GetMilliseconds() <= 0) {
      page << " and is disconnecting.";
    } else {
      page << ", with " << RemainingText(remaining) << " till disconnect.";
    }
    page << ZHTMLParagraph() << ZHTMLForm("POST") << ZHTMLSubmitButton("Disconnect") << ZHTMLForm();
    return;
  }
  const ZStringList names = dialUp.GetRemoteNames();
  page << "The system has no remote access connections ";
  if (names.GetSize() == 0) {
    page << "programmed.";
    return;
  }
  page << "active." << ZHTMLParagraph() << ZHTMLForm("POST") << ZHTMLSelect("Remotes");
  for (ZIndex i = 0; i < names.GetSize(); ++i) {
    page << ZHTMLOption(i == 0) << ZHTML::Escape(names.GetAt(i)->Text());
  }
  page << ZHTMLSelect() << "&nbsp;&nbsp;&nbsp;" << ZHTMLSubmitButton("Connect") << ZHTMLForm();
}

void ControlPage::BuildHosts(ZHTML& page) {
  SectionHeading(page, "ctlhelp.html#hosts", "Connected Hosts ");
  // The snapshot purges the records whose time has run out.
  const std::vector<HostRegistry::HostStatus> hosts = service.GetHosts().Snapshot();
  if (hosts.empty()) {
    page << "There are no active hosts connected at present.";
    return;
  }
  page << ZHTMLForm("POST") << ZHTMLTable(true) << ZHTMLTableRow();
  for (const char* heading : {"  Local Address  ", "  Time to go  ", "  Bytes Sent  ", "  Bytes Received  "}) {
    page << ZHTMLTableHeading() << heading;
  }
  for (const HostRegistry::HostStatus& host : hosts) {
    ZHTMLTableData centred;
    centred.SetAttr("align=center");
    ZHTMLTableData right;
    right.SetAttr("align=right");
    // Reverse look-ups answer whatever the name server says: escaped.
    page << ZHTMLTableRow() << ZHTMLTableData() << ZHTML::Escape(HostName(host.address).Text()) << centred
         << ZHTML::Escape(IntervalText(host.timeToGo).Text()) << centred << host.bytesSent << centred
         << host.bytesReceived << right << ZHTMLSubmitButton("Release", host.address.GetDotted().Text());
  }
  page << ZHTMLTable() << ZHTMLForm();
}

void ControlPage::BuildDataConnections(ZHTML& page) {
  SectionHeading(page, "ctlhelp.html#data", "Active Data Connections ");
  const ZIndex count = service.CountActiveSockets();
  if (count == 0) {
    page << "There are no active connections.";
  } else if (count == 1) {
    page << "1 connection active.";
  } else {
    page << count << " connections active.";
  }
}

bool ControlPage::OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) {
  if (!CheckAuthorisation(socket, mime)) return false;
  const ZString refusal = ForeignPostRefusal(mime);
  if (!refusal.IsEmpty()) return socket.OnError(ZHTTPForbidden, refusal);
  return ZHTTPString::OnPOST(socket, url, mime, data);
}

bool ControlPage::Post(ZHTTPRequest& /*request*/, const ZStringToString& data, ZHTML& msg) {
  const ZString* posted = data.GetAt(ZCaselessString("Submit"));
  const ZString action = posted != nullptr ? *posted : ZString();
  if (action == "Disconnect" || action == "Connect") {
    PageReply reply;
    if (action == "Disconnect") {
      reply = service.GetDialUp().RequestHangUp();
    } else {
      const ZString* remote = data.GetAt(ZCaselessString("Remotes"));
      reply = service.GetDialUp().RequestConnect(remote != nullptr ? *remote : ZString());
    }
    // Remote names come from the phonebook's file names: escaped.
    msg = reply.title.Text();
    msg << ZHTML::Escape(reply.text.Text()) << ZHTMLBreak() << ZHTMLBody();
    return true;
  }
  // Release buttons are named by the host's dotted address.
  ZStringList names;
  for (ZIndex i = 0; i < data.GetSize(); ++i) {
    const ZString* key = data.GetKeyAt(i);
    if (key != nullptr) names.Append(*key);
  }
  const ZStringList released = service.GetHosts().Release(names);
  for (ZIndex i = 0; i < released.GetSize(); ++i) {
    ZIPAddress address;
    address.Parse(released.GetAt(i)->Text());
    msg = "Request Accepted";
    msg << "Released user \"" << ZHTML::Escape(HostName(address).Text()) << "\"." << ZHTMLBreak();
  }
  if (!msg.IsEmpty()) msg << ZHTMLBody();
  return true;
}
