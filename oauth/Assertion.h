// The signing side of OAuth 2.0 client authentication, and the few hashes
// the token code needs. This is the one file of the folder that speaks to
// the crypto library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::oauth {

// Base64 with the URL alphabet and no padding (JWT segments, x5t).
std::string Base64Url(std::string_view bytes);

// A signed client assertion (RFC 7523) in the form Microsoft's identity
// platform takes it: a JWT signed with RS256, whose header names the
// certificate by its SHA-1 thumbprint ("x5t"), issued by and about the client
// id, for the token endpoint as audience, valid for ten minutes from now.
//   {"alg":"RS256","typ":"JWT","x5t":"<b64url sha1(cert der)>"}
//   {"aud":"<token url>","iss":"<client>","sub":"<client>","jti":"<random>",
//    "nbf":now,"iat":now,"exp":now+600}
// keyFile holds an RSA private key in PEM, certFile its certificate in PEM.
// False with a reason in error when either cannot be read or signing fails.
bool SignedAssertion(const std::string& keyFile, const std::string& certFile,
                     std::string_view clientId, std::string_view audience, int64_t nowSeconds,
                     std::string& assertion, std::string& error);

// Lower-case hex SHA-256 of text: a token's fingerprint that may be stored
// where the token itself may not.
std::string Sha256Hex(std::string_view text);

// n random bytes as lower-case hex.
std::string RandomHex(std::size_t n);

}  // namespace tarnwick::oauth
