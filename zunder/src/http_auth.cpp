// Basic authentication of HTTP resources.
#include "zunder/base64.h"
#include "zunder/http.h"

namespace {

// Equal texts, found in a time that depends on the length of the text
// offered alone, never on how much of it matches: a client timing its
// guesses learns nothing of the secret.
bool SameSecret(const ZString& offered, const ZString& secret) {
  const ZIndex offeredLength = offered.GetLength();
  const ZIndex secretLength = secret.GetLength();
  unsigned difference = offeredLength == secretLength ? 0u : 1u;
  for (ZIndex i = 0; i < offeredLength; ++i) {
    // Past its end the secret is read from its start, so that every
    // offered byte costs the same.
    const char expected = secretLength > 0 ? secret[i % secretLength] : '\0';
    difference |= static_cast<unsigned char>(offered[i] ^ expected);
  }
  return difference == 0;
}

}  // namespace

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
  // Both compared whatever the first gives: which of them was wrong does
  // not show in the time either.
  const bool sameUser = SameSecret(user, username);
  const bool samePassword = SameSecret(secret, password);
  return sameUser && samePassword;
}

ZObject* ZHTTPSimpleAuth::Clone() const { return new ZHTTPSimpleAuth(realm.Text(), username.Text(), password.Text()); }
