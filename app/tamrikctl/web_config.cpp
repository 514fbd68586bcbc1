#include "app/tamrikctl/web_config.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace tamrik::ctl {

namespace {

base::Failure bad(std::string reason) { return base::fail(base::FailureKind::BadArgument, std::move(reason)); }

// The keys of the exporters' format that this program does not serve.
const std::set<std::string> kTlsUnserved = {"cert", "key", "client_auth_type", "client_ca_file", "client_ca",
                                            "cipher_suites", "curve_preferences", "prefer_server_cipher_suites",
                                            "client_allowed_sans"};

std::string where(const YAML::Node& node) {
  const YAML::Mark mark = node.Mark();
  return mark.line >= 0 ? "line " + std::to_string(mark.line + 1) : "the file";
}

std::string resolved(const std::string& path, const std::string& folder) {
  if (path.empty() || path.front() == '/' || folder.empty()) return path;
  return folder + "/" + path;
}

bool isBcrypt(const std::string& hash) {
  // $2a$, $2b$ or $2y$, a two-digit cost, then 53 characters of salt and hash.
  return hash.size() == 60 && hash[0] == '$' && hash[1] == '2' && (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') &&
         hash[3] == '$' && hash[6] == '$';
}

// A TLS version of the toolkit's names: 12 for TLS12, 0 when it is none.
int tlsVersion(const std::string& name) {
  if (name == "TLS10") return 10;
  if (name == "TLS11") return 11;
  if (name == "TLS12") return 12;
  if (name == "TLS13") return 13;
  return 0;
}

std::string scalar(const YAML::Node& node, const std::string& key, std::string& error) {
  if (!node.IsScalar()) {
    error = key + " (" + where(node) + ") is not a single value";
    return {};
  }
  return node.Scalar();
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openForReading(const std::string& path, const std::string& what, std::string& error) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
  return f;
}

// Gives no passphrase (OpenSSL's own would ask on the terminal), and notes that one was asked for.
int noPassphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return 0;
}

std::string checkTlsFiles(const WebConfig& c) {
  std::string error;
  const File keyFile = openForReading(c.keyFile, "key_file", error);
  if (!keyFile) return error;
  bool asked = false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_PrivateKey(keyFile.get(), nullptr, noPassphrase, &asked),
                                                            EVP_PKEY_free);
  if (!key && asked) return "key_file " + c.keyFile + " is encrypted: a key with a passphrase cannot be used";
  if (!key) return "key_file " + c.keyFile + " holds no private key in PEM form";
  const int bits = EVP_PKEY_get_bits(key.get());
  const int type = EVP_PKEY_get_base_id(key.get());
  const int least = type == EVP_PKEY_EC ? 256 : (type == EVP_PKEY_RSA || type == EVP_PKEY_RSA_PSS || type == EVP_PKEY_DSA) ? 2048 : 0;
  if (bits < least) {
    return "key_file " + c.keyFile + " is a weak key: " + std::to_string(bits) + " bits, at least " + std::to_string(least) +
           " needed";
  }
  const File certFile = openForReading(c.certFile, "cert_file", error);
  if (!certFile) return error;
  std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return "cert_file " + c.certFile + " holds no certificate in PEM form";
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    return "key_file " + c.keyFile + " is not the key of cert_file " + c.certFile;
  }
  return {};
}

std::string digest(const std::string& salt, const std::string& password) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const std::string input = salt + password;
  EVP_Digest(input.data(), input.size(), out, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(out), size);
}

bool sameInConstantTime(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Checked for a user who is not there, so that a wrong name takes as long as a wrong password.
constexpr const char* kNobodysHash = "$2y$10$lL0SytBAa8POms6u391hq.v5ENorrnaYId.qg6PJJ04fXi07dlbUa";

}  // namespace

base::Result<WebConfig> parseWebConfig(std::string_view yaml, const std::string& folder) {
  YAML::Node root;
  try {
    root = YAML::Load(std::string(yaml));
  } catch (const YAML::Exception& e) {
    return bad("is not YAML: " + e.msg + " (line " + std::to_string(e.mark.line + 1) + ")");
  }
  WebConfig c;
  if (root.IsNull()) return c;
  if (!root.IsMap()) return bad("is not a map of settings");
  std::string error;
  int minVersion = 12, maxVersion = 13;
  for (const auto& entry : root) {
    const std::string key = entry.first.as<std::string>();
    const YAML::Node& value = entry.second;
    if (key == "tls_server_config") {
      if (value.IsNull()) continue;
      if (!value.IsMap()) return bad("tls_server_config (" + where(value) + ") is not a map");
      for (const auto& tls : value) {
        const std::string name = tls.first.as<std::string>();
        const std::string shown = "tls_server_config." + name;
        if (name == "cert_file") {
          c.certFile = resolved(scalar(tls.second, shown, error), folder);
        } else if (name == "key_file") {
          c.keyFile = resolved(scalar(tls.second, shown, error), folder);
        } else if (name == "min_version" || name == "max_version") {
          const std::string text = scalar(tls.second, shown, error);
          const int version = tlsVersion(text);
          if (error.empty() && version == 0) error = shown + " '" + text + "' is not TLS10, TLS11, TLS12 or TLS13";
          (name == "min_version" ? minVersion : maxVersion) = version;
        } else if (kTlsUnserved.count(name) != 0) {
          return bad(shown + " is not supported by tamrikctl");
        } else {
          return bad("unknown key " + shown + " (" + where(tls.first) + ")");
        }
        if (!error.empty()) return bad(error);
      }
    } else if (key == "basic_auth_users") {
      if (value.IsNull()) continue;
      if (!value.IsMap()) return bad("basic_auth_users (" + where(value) + ") is not a map of users to bcrypt hashes");
      for (const auto& user : value) {
        const std::string name = user.first.as<std::string>();
        const std::string hash = scalar(user.second, "basic_auth_users." + name, error);
        if (!error.empty()) return bad(error);
        if (name.empty() || name.find(':') != std::string::npos) {
          return bad("basic_auth_users: '" + name + "' cannot be a user name");
        }
        if (!isBcrypt(hash)) {
          return bad("basic_auth_users." + name + " is not a bcrypt hash ($2y$..., as htpasswd -B makes it)");
        }
        if (!c.users.emplace(name, hash).second) return bad("basic_auth_users: the user '" + name + "' is listed twice");
      }
    } else if (key == "http_server_config") {
      if (value.IsNull()) continue;
      if (!value.IsMap()) return bad("http_server_config (" + where(value) + ") is not a map");
      for (const auto& http : value) {
        const std::string name = http.first.as<std::string>();
        if (name == "http2") continue;  // HTTP/1.1 is served either way
        if (name == "headers") return bad("http_server_config.headers is not supported by tamrikctl");
        return bad("unknown key http_server_config." + name + " (" + where(http.first) + ")");
      }
    } else {
      return bad("unknown key " + key + " (" + where(entry.first) + ")");
    }
  }
  if (c.certFile.empty() != c.keyFile.empty()) {
    return bad(c.certFile.empty() ? "tls_server_config has a key_file but no cert_file"
                                  : "tls_server_config has a cert_file but no key_file");
  }
  if (!c.certFile.empty()) {
    if (minVersion < 12) return bad("tls_server_config.min_version: TLS 1.2 is the least this exporter serves");
    if (maxVersion < minVersion) return bad("tls_server_config.max_version is below min_version");
    c.tls13Only = minVersion == 13;
    c.tls12Max = maxVersion == 12;
  }
  return c;
}

base::Result<WebConfig> loadWebConfig(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  // An empty file is an empty config (as one of comments alone); a folder reads as nothing too, but
  // with an error.
  const bool empty = in && in.peek() == std::char_traits<char>::eof() && errno == 0;
  if (!empty && (!in || !(text << in.rdbuf()))) {
    return bad(path + ": " + (errno != 0 ? std::strerror(errno) : "not a readable file"));
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  base::Result<WebConfig> config = parseWebConfig(text.str(), folder);
  if (!config) return bad(path + ": " + config.reason());
  if (!config->certFile.empty()) {
    if (std::string why = checkTlsFiles(*config); !why.empty()) return bad(path + ": " + why);
  }
  return config;
}

PasswordCheck::PasswordCheck(std::map<std::string, std::string> users) : users_(std::move(users)) {
  unsigned char salt[16];
  RAND_bytes(salt, sizeof salt);
  salt_.assign(reinterpret_cast<const char*>(salt), sizeof salt);
}

bool PasswordCheck::operator()(const std::string& user, const std::string& password) {
  const auto known = users_.find(user);
  const std::string seen = digest(salt_, password);
  {
    std::lock_guard lock(mutex_);
    const auto passed = passed_.find(user);
    if (known != users_.end() && passed != passed_.end() && sameInConstantTime(passed->second, seen)) return true;
  }
  const std::string& hash = known != users_.end() ? known->second : std::string(kNobodysHash);
  crypt_data data{};
  const char* out = crypt_r(password.c_str(), hash.c_str(), &data);
  const bool good = known != users_.end() && out != nullptr && sameInConstantTime(out, hash);
  if (good) {
    std::lock_guard lock(mutex_);
    passed_[user] = seen;
  }
  return good;
}

}  // namespace tamrik::ctl
