// HTTP resources: the answer to GET, HEAD and POST, texts held in memory,
// files and directory trees.
#include <algorithm>
#include <vector>

#include "zunder/http.h"

namespace {

bool IsTextType(const ZString& type) { return ZCaselessString(type).CompareAt(0, 5, "text/") == EqualTo; }

// ".ext" of a file name; empty without a ".".
ZString Extension(const ZString& name) {
  const ZIndex dot = name.FindLast('.');
  return dot == ZNotFound ? ZString() : name.Mid(dot);
}

}  // namespace

// ---------------------------------------------------------------- ZHTTPResource

ZHTTPResource::ZHTTPResource(const ZURL& url, const char* type, const ZHTTPAuthority* access)
    : baseURL(url), contentType(type != nullptr ? type : "") {
  if (access != nullptr) SetAuthority(*access);
}

ZHTTPResource::~ZHTTPResource() = default;

void ZHTTPResource::SetAuthority(const ZHTTPAuthority& newAuthority) {
  authority.reset(static_cast<ZHTTPAuthority*>(newAuthority.Clone()));
}

void ZHTTPResource::ClearAuthority() { authority.reset(); }

bool ZHTTPResource::CheckAuthorisation(ZHTTPSocket& socket, const ZMIMEInfo& mime) {
  if (!authority) return true;
  const ZString* credentials = mime.GetAt(ZString(ZHTTPHeader::Authorization));
  if (credentials == nullptr) {
    ZMIMEInfo challenge;
    socket.SetDefaultMIMEInfo(challenge);
    challenge.SetAt(ZHTTPHeader::WWWAuthenticate, "Basic realm=\"" + authority->GetRealm() + "\"");
    socket.StartResponse(ZHTTPUnauthorised, challenge, 0);
    return false;
  }
  if (!authority->Validate(credentials->Text())) {
    // A wrong password is refused outright, not challenged again.
    socket.OnError(ZHTTPForbidden, ZString());
    return false;
  }
  return true;
}

std::unique_ptr<ZHTTPRequest> ZHTTPResource::PrepareAnswer(ZHTTPSocket& socket, const ZURL& url,
                                                           const ZMIMEInfo& mime) {
  std::unique_ptr<ZHTTPRequest> request = CreateRequest(url, mime);
  socket.SetDefaultMIMEInfo(request->outMIME);
  ZTime expires;
  if (GetExpirationDate(expires)) request->outMIME.SetTime(ZHTTPHeader::Expires, expires);
  if (!LoadHeaders(*request)) {
    socket.OnError(request->code, ZHTTPURLText(url));
    return nullptr;
  }
  if (request->outMIME.GetAt(ZString(ZHTTPHeader::ContentType)) == nullptr && !contentType.IsEmpty()) {
    request->outMIME.SetAt(ZHTTPHeader::ContentType, contentType);
  }
  return request;
}

bool ZHTTPResource::OnGET(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime) {
  if (!CheckAuthorisation(socket, mime)) return false;
  ZTime since;
  if (mime.GetTime(ZHTTPHeader::IfModifiedSince, since) && !IsModifiedSince(since)) {
    socket.OnError(ZHTTPNotModified, ZHTTPURLText(url));
    return false;
  }
  std::unique_ptr<ZHTTPRequest> request = PrepareAnswer(socket, url, mime);
  if (!request) return false;
  hitCount.fetch_add(1, std::memory_order_relaxed);

  std::string data;
  if (!LoadData(*request, data)) {
    // One piece: its own size is the length.
    if (socket.StartResponse(request->code, request->outMIME, data.size()) && !data.empty()) {
      socket.Write(data.data(), static_cast<ZIndex>(data.size()));
    }
    return false;
  }
  if (!socket.StartResponse(request->code, request->outMIME, request->contentSize)) return false;
  bool more = true;
  while (more) {
    if (!data.empty() && !socket.Write(data.data(), static_cast<ZIndex>(data.size()))) return false;
    data.clear();
    more = LoadData(*request, data);
  }
  if (!data.empty()) socket.Write(data.data(), static_cast<ZIndex>(data.size()));
  return false;
}

bool ZHTTPResource::OnHEAD(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime) {
  if (!CheckAuthorisation(socket, mime)) return false;
  std::unique_ptr<ZHTTPRequest> request = PrepareAnswer(socket, url, mime);
  if (!request) return false;
  socket.StartResponse(request->code, request->outMIME, request->contentSize);
  return false;
}

bool ZHTTPResource::OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) {
  if (!CheckAuthorisation(socket, mime)) return false;
  std::unique_ptr<ZHTTPRequest> request = CreateRequest(url, mime);
  ZHTML msg;
  Post(*request, data, msg);
  if (msg.IsEmpty()) {
    socket.OnError(request->code, ZString());
    return false;
  }
  socket.SetDefaultMIMEInfo(request->outMIME);
  request->outMIME.SetAt(ZHTTPHeader::ContentType, "text/html");
  const ZString page(msg.Text());
  if (socket.StartResponse(request->code, request->outMIME, static_cast<uint64_t>(page.GetLength()))) {
    socket.WriteString(page);
  }
  return false;
}

bool ZHTTPResource::IsModifiedSince(const ZTime&) { return true; }

bool ZHTTPResource::GetExpirationDate(ZTime&) { return false; }

std::unique_ptr<ZHTTPRequest> ZHTTPResource::CreateRequest(const ZURL& url, const ZMIMEInfo& mime) {
  return std::make_unique<ZHTTPRequest>(url, mime);
}

bool ZHTTPResource::LoadHeaders(ZHTTPRequest&) { return true; }

bool ZHTTPResource::LoadData(ZHTTPRequest& request, std::string& data) {
  ZString text = LoadText(request);
  OnLoadedText(request, text);
  data.assign(text.Text(), static_cast<size_t>(text.GetLength()));
  return false;
}

void ZHTTPResource::OnLoadedText(ZHTTPRequest&, ZString&) {}

bool ZHTTPResource::Post(ZHTTPRequest& request, const ZStringToString&, ZHTML& msg) {
  request.code = ZHTTPNotImplemented;
  msg = "Error in POST";
  msg << "Post to this resource is not implemented!" << ZHTMLBody();
  return false;
}

// ---------------------------------------------------------------- ZHTTPString

ZHTTPString::ZHTTPString(const ZURL& url, const char* initialText, const char* type, const ZHTTPAuthority* access)
    : ZHTTPResource(url, type, access), text(initialText != nullptr ? initialText : "") {}

ZString ZHTTPString::GetText() const {
  std::lock_guard<std::mutex> guard(textLock);
  return text;
}

void ZHTTPString::SetText(const ZString& newText) {
  std::lock_guard<std::mutex> guard(textLock);
  text = newText;
}

bool ZHTTPString::LoadHeaders(ZHTTPRequest& request) {
  request.contentSize = static_cast<uint64_t>(GetText().GetLength());
  return true;
}

ZString ZHTTPString::LoadText(ZHTTPRequest&) { return GetText(); }

// ---------------------------------------------------------------- ZHTTPFile

ZHTTPFile::ZHTTPFile(const ZURL& url, const char* filePath, const ZHTTPAuthority* access)
    : ZHTTPResource(url, "", access), path(filePath) {
  SetContentType(GetContentType(this->path.GetType().Text()).Text());
}

ZHTTPFile::ZHTTPFile(const char* filePath, const ZHTTPAuthority* access)
    : ZHTTPFile(ZURL(filePath), filePath, access) {}

std::unique_ptr<ZHTTPRequest> ZHTTPFile::CreateRequest(const ZURL& url, const ZMIMEInfo& mime) {
  return std::make_unique<ZHTTPFileRequest>(url, mime);
}

bool ZHTTPFile::LoadHeaders(ZHTTPRequest& request) {
  auto& fileRequest = static_cast<ZHTTPFileRequest&>(request);
  ZFileInfo info;
  fileRequest.file.SetPath(path.Text());
  // Only a regular file is sent: a directory or a device cannot be read
  // as one, and a pipe would never end.
  if (!ZFile::GetInfo(path.Text(), info) || info.type != ZFileInfo::RegularFile ||
      !fileRequest.file.Open(ZFile::ReadOnly)) {
    request.code = ZHTTPNotFound;
    return false;
  }
  request.contentSize = static_cast<uint64_t>(fileRequest.file.GetLength());
  return true;
}

bool ZHTTPFile::LoadData(ZHTTPRequest& request, std::string& data) {
  return LoadFileData(static_cast<ZHTTPFileRequest&>(request), data);
}

bool ZHTTPFile::LoadFileData(ZHTTPFileRequest& request, std::string& data) {
  if (IsTextType(request.outMIME.GetString(ZHTTPHeader::ContentType))) return ZHTTPResource::LoadData(request, data);
  ZFile& file = request.file;
  if (!file.IsOpen()) {
    Z_ASSERT_CODE(ZAssertFileNotOpen);
    return false;
  }
  const int64_t left = file.GetLength() - file.GetPosition();
  const ZIndex want = static_cast<ZIndex>(std::min<int64_t>(std::max<int64_t>(left, 0), kChunkSize));
  data.resize(static_cast<size_t>(want));
  ZIndex got = 0;
  while (got < want) {
    if (!file.Read(data.data() + got, want - got)) {
      Z_ASSERT_CODE(ZAssertOSError);
      data.resize(static_cast<size_t>(got));
      file.Close();
      return false;
    }
    got += file.GetLastReadCount();
  }
  if (file.GetPosition() < file.GetLength()) return true;
  file.Close();
  return false;
}

ZString ZHTTPFile::ReadWholeFile(ZHTTPFileRequest& request) {
  ZFile& file = request.file;
  if (!file.IsOpen()) {
    Z_ASSERT_CODE(ZAssertFileNotOpen);
    return ZString();
  }
  std::string text;
  char buffer[ZHTTPFile::kChunkSize];
  while (file.Read(buffer, sizeof buffer)) text.append(buffer, static_cast<size_t>(file.GetLastReadCount()));
  file.Close();
  return ZString(text.data(), static_cast<ZIndex>(text.size()));
}

ZString ZHTTPFile::LoadText(ZHTTPRequest& request) { return ReadWholeFile(static_cast<ZHTTPFileRequest&>(request)); }

// ---------------------------------------------------------------- ZHTTPDirectory

ZHTTPDirectory::ZHTTPDirectory(const ZURL& url, const char* directory, const ZHTTPAuthority* access)
    : ZHTTPFile(url, directory, access) {
  // Each file found brings its own type.
  SetContentType("");
}

std::unique_ptr<ZHTTPRequest> ZHTTPDirectory::CreateRequest(const ZURL& url, const ZMIMEInfo& mime) {
  return std::make_unique<ZHTTPDirRequest>(url, mime);
}

bool ZHTTPDirectory::RealPath(const ZURL& url, ZString& real) const {
  const std::vector<ZString> own = ZHTTPSpace::PathNames(GetBaseURL());
  const std::vector<ZString> asked = ZHTTPSpace::PathNames(url);
  ZString found = GetPath();
  while (found.GetLength() > 1 && found[found.GetLength() - 1] == '/') found = found.Left(found.GetLength() - 1);
  for (size_t i = own.size(); i < asked.size(); ++i) {
    const ZString& name = asked[i];
    // An unescaped "/" or a step up would lead out of the directory.
    if (name == "." || name == ".." || name.Find('/') != ZNotFound) return false;
    found += "/";
    found += name;
  }
  real = found;
  return true;
}

bool ZHTTPDirectory::LoadHeaders(ZHTTPRequest& request) {
  auto& dirRequest = static_cast<ZHTTPDirRequest&>(request);
  ZString real;
  ZFileInfo info;
  if (!RealPath(request.url, real) || !ZFile::GetInfo(real.Text(), info)) {
    request.code = ZHTTPNotFound;
    return false;
  }
  ZFile& file = dirRequest.file;
  if (info.type == ZFileInfo::Directory) {
    for (const char* index : ZHTTPSpace::kIndexNames) {
      const ZString candidate = real + "/" + index;
      ZFileInfo indexInfo;
      if (!ZFile::GetInfo(candidate.Text(), indexInfo) || indexInfo.type != ZFileInfo::RegularFile) continue;
      file.SetPath(candidate.Text());
      if (file.Open(ZFile::ReadOnly)) break;
    }
  } else if (info.type == ZFileInfo::RegularFile) {
    file.SetPath(real.Text());
    if (!file.Open(ZFile::ReadOnly)) {
      request.code = ZHTTPNotFound;
      return false;
    }
  } else {
    request.code = ZHTTPNotFound;
    return false;
  }

  if (file.IsOpen()) {
    request.outMIME.SetAt(ZHTTPHeader::ContentType, GetContentType(file.GetPath().GetType().Text()));
    request.contentSize = static_cast<uint64_t>(file.GetLength());
  } else {
    request.outMIME.SetAt(ZHTTPHeader::ContentType, "text/html");
    BuildListing(dirRequest, real);
    request.contentSize = static_cast<uint64_t>(dirRequest.listing.GetLength());
  }
  return true;
}

void ZHTTPDirectory::BuildListing(ZHTTPDirRequest& request, const ZString& realPath) const {
  struct Entry {
    ZString name;
    bool directory;
  };
  std::vector<Entry> entries;
  ZDirectory scan(realPath.Text());
  if (scan.Open(ZDirectory::AllEntries)) {
    do {
      entries.push_back({scan.GetEntryName(), scan.IsSubDir()});
    } while (scan.Next());
  }
  // In name order, whatever order the host lists them in.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

  // Links are made from the request's own path; the names are escaped for
  // the URL and for the page.
  ZString base;
  for (const ZString& name : ZHTTPSpace::PathNames(request.url)) base += "/" + ZURL::TranslateString(name.Text());

  ZHTML page(("Directory of " + ZHTTPURLText(request.url)).Text());
  for (const Entry& entry : entries) {
    const char* icon = entry.directory                                            ? "internal-gopher-menu"
                       : IsTextType(GetContentType(Extension(entry.name).Text())) ? "internal-gopher-text"
                                                                                  : "internal-gopher-unknown";
    const ZString href = base + "/" + ZURL::TranslateString(entry.name.Text());
    page << ZHTMLImage(icon) << " " << ZHTMLHotLink(href.Text()) << ZHTML::Escape(entry.name.Text()) << ZHTMLHotLink()
         << ZHTMLBreak();
  }
  page << ZHTMLBody();
  request.listing = ZString(page.Text());
}

ZString ZHTTPDirectory::LoadText(ZHTTPRequest& request) {
  auto& dirRequest = static_cast<ZHTTPDirRequest&>(request);
  if (!dirRequest.listing.IsEmpty()) return dirRequest.listing;
  return ReadWholeFile(dirRequest);
}
