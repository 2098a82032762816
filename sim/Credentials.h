#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

// The VAPIX service accounts: every account name issued so far shares the current
// password, which renew() replaces. Safe to use from several threads.
class Credentials {
public:
  static constexpr const char* defaultUser = "acap-user";

  Credentials();

  // "user:password" for the account, which VAPIX accepts from now on.
  std::string issue(const std::string& user);

  // Issues a new password; the old one is refused from now on. Returns the default
  // account's new "user:password".
  std::string renew();

  // The current password of an issued account; nothing for an unknown account.
  std::optional<std::string> passwordFor(const std::string& user) const;

private:
  mutable std::mutex mutex;
  std::set<std::string> users;
  std::string password;
};
