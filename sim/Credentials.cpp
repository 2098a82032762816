#include "Credentials.h"

#include <random>

namespace {

std::string randomPassword()
{
  static const char digits[] = "0123456789abcdef";
  std::random_device source;
  std::string password;
  for (int i = 0; i < 24; ++i) {
    password += digits[source() % 16];
  }
  return password;
}

} // namespace

Credentials::Credentials() : users{defaultUser}, password(randomPassword()) {}

std::string Credentials::issue(const std::string& user)
{
  std::lock_guard<std::mutex> lock(mutex);
  users.insert(user);
  return user + ":" + password;
}

std::string Credentials::renew()
{
  std::string next = randomPassword();
  std::lock_guard<std::mutex> lock(mutex);
  while (next == password) {
    next = randomPassword();
  }
  password = next;
  return std::string(defaultUser) + ":" + password;
}

std::optional<std::string> Credentials::passwordFor(const std::string& user) const
{
  std::lock_guard<std::mutex> lock(mutex);
  if (users.count(user) == 0) {
    return std::nullopt;
  }
  return password;
}
