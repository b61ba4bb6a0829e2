// What the server component asks of an OAuth2 authorization server: whether it answers a
// request as one of its endpoints, whether a request carries a valid access token, and the
// endpoint paths to register. The OAuth2 server itself lives in src/oauth2/.
#pragma once

#include <string>
#include <vector>

namespace quillon {

class TlumWSConnection;

class IlumOAuth2Server {
 public:
  virtual ~IlumOAuth2Server() = default;
  // Answers the request when it is one of the endpoints; true when it did.
  virtual bool DoProcessHTTP(TlumWSConnection* aConnection,
                             const std::vector<std::string>& aRequestLines) = 0;
  virtual bool IsOAuth2TokenValid(TlumWSConnection* aConnection,
                                  const std::vector<std::string>& aHeaderLines) = 0;
  // Endpoint URL paths ("/lum/oauth2/auth"), empty when that endpoint is disabled.
  virtual std::string AuthorizationPath() const = 0;
  virtual std::string TokenPath() const = 0;
};

}  // namespace quillon
