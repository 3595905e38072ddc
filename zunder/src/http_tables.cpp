// The HTTP status table and the content-type table.
#include <mutex>

#include "zunder/http.h"

namespace {

const ZHTTPStatusEntry kStatusTable[ZHTTPStatusCount] = {
    {100, "Information", false},
    {200, "OK", true},
    {201, "Created", true},
    {202, "Accepted", true},
    {204, "No Content", false},
    {301, "Moved Permanently", true},
    {302, "Moved Temporarily", true},
    {304, "Not Modified", false},
    {400, "Bad Request", true},
    {401, "Unauthorised", false},
    {403, "Forbidden", true},
    {404, "Not Found", true},
    {500, "Internal Server Error", true},
    {501, "Not Implemented", true},
    {502, "Bad Gateway", true},
};

const ZStringToString::Pair kContentTypes[] = {
    {".txt", "text/plain"},      {".text", "text/plain"}, {".html", "text/html"},     {".htm", "text/html"},
    {".aif", "audio/aiff"},      {".aiff", "audio/aiff"}, {".au", "audio/basic"},     {".snd", "audio/basic"},
    {".wav", "audio/wav"},       {".gif", "image/gif"},   {".xbm", "image/x-bitmap"}, {".tif", "image/tiff"},
    {".tiff", "image/tiff"},     {".jpg", "image/jpeg"},  {".jpe", "image/jpeg"},     {".jpeg", "image/jpeg"},
    {".avi", "video/avi"},       {".mpg", "video/mpeg"},  {".mpeg", "video/mpeg"},    {".qt", "video/quicktime"},
    {".mov", "video/quicktime"},
};

// Filled on first use; read-only afterwards, so threads share it freely.
const ZStringToString& ContentTypes() {
  static const ZStringToString table(static_cast<ZIndex>(sizeof kContentTypes / sizeof kContentTypes[0]), kContentTypes,
                                     true);
  return table;
}

}  // namespace

const ZHTTPStatusEntry& ZHTTPGetStatus(int status) {
  if (status < 0 || status >= ZHTTPStatusCount) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return kStatusTable[ZHTTPInternalServerError];
  }
  return kStatusTable[status];
}

namespace {

// The URL without scheme, site and fragment, in the full form so that the
// path, its parameters and the query are written as ever.
ZURL WithoutSite(const ZURL& url) {
  ZURL target(url);
  target.SetScheme(ZString());
  target.SetUsername(ZString());
  target.SetPassword(ZString());
  target.SetHostname(ZString());
  target.SetPort(0);
  target.SetFragment(ZString());
  return target;
}

}  // namespace

ZString ZHTTPURLText(const ZURL& url) {
  // A URL without a site reads back with the default scheme ("http:/x"),
  // which is not what the client wrote.
  if (!url.GetHostname().IsEmpty()) return url.AsString();
  return WithoutSite(url).AsString();
}

ZString ZHTTPOriginForm(const ZURL& url) {
  ZURL target = WithoutSite(url);
  target.SetAbsolute(true);
  return target.AsString();
}

ZString ZHTTPResource::GetContentType(const char* extension) {
  const ZString* type = ContentTypes().GetAt(ZString(extension != nullptr ? extension : ""));
  return type != nullptr ? *type : ZString("application/octet-stream");
}
