#pragma once
// The exporter's --web.config.file, in the format and meaning of the Prometheus exporters'
// (exporter-toolkit):
//
//   tls_server_config:
//     cert_file: server.crt      # relative paths are taken from the file's folder
//     key_file: server.key
//     min_version: TLS12         # TLS10/TLS11 are refused; TLS13 allowed
//     max_version: TLS13
//   basic_auth_users:
//     prometheus: $2y$10$...     # bcrypt, as htpasswd -B makes it
//
// Anything else, a key the toolkit knows but this program does not serve (client certificates,
// cipher suites, HTTP headers), or a key of its own that is misspelt, is refused, so that a file
// never means less than it says.

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tamrik::ctl {

struct WebConfig {
  std::string certFile, keyFile;  // both set, or neither (plain HTTP)
  bool tls13Only = false;
  bool tls12Max = false;
  std::map<std::string, std::string> users;  // name -> bcrypt hash; none: no authentication
};

// The file's text, without looking at the files it names. `folder` resolves relative paths.
base::Result<WebConfig> parseWebConfig(std::string_view yaml, const std::string& folder);
// Reads and parses the file, then checks the key and certificate: readable, the key strong enough
// (RSA and DSA 2048 bits or more, elliptic curves 256 or more) and the certificate's.
base::Result<WebConfig> loadWebConfig(const std::string& path);

// Checks a user's password against the bcrypt hashes with the system's crypt, comparing in
// constant time. A bcrypt check takes tens of milliseconds by design, so a password that passed is
// remembered (as a salted digest) and the next scrape with it costs a digest, not a bcrypt run.
class PasswordCheck {
 public:
  explicit PasswordCheck(std::map<std::string, std::string> users);
  bool operator()(const std::string& user, const std::string& password);

 private:
  std::map<std::string, std::string> users_;
  std::mutex mutex_;
  std::string salt_;
  std::map<std::string, std::string> passed_;  // user -> digest of the salt and the password
};

}  // namespace tamrik::ctl
