// Basic authentication of HTTP resources.
#include "zunder/base64.h"
#include "zunder/http.h"

ZHTTPSimpleAuth::ZHTTPSimpleAuth(const char* realmName, const char* user, const char* secret)
    : realm(realmName != nullptr ? realmName : ""),
      username(user != nullptr ? user : ""),
      password(secret != nullptr ? secret : "") {
  if (this->realm.IsEmpty()) Z_ASSERT_MESSAGE("Must have a realm!");
}

bool ZHTTPSimpleAuth::Validate(const char* authInfo) const {
  const ZCaselessString info(authInfo != nullptr ? authInfo : "");
  const ZString encoded = info.CompareAt(0, 6, "Basic ") == EqualTo ? info.Mid(6) : ZString(info);
  const ZString decoded = ZBase64::Decode(encoded.Trim().Text());
  const ZIndex colon = decoded.Find(':');
  if (colon == ZNotFound) return false;
  const ZString user = decoded.Left(colon).Trim();
  const ZString secret = decoded.Mid(colon + 1).Trim();
  return user == username && secret == password;
}

ZObject* ZHTTPSimpleAuth::Clone() const { return new ZHTTPSimpleAuth(realm.Text(), username.Text(), password.Text()); }
