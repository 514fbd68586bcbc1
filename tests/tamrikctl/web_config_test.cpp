// The exporter's web config file: what it refuses, how it reads paths and TLS versions, the key and
// certificate checks, and the bcrypt passwords.
#include "app/tamrikctl/web_config.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace tamrik::ctl {
namespace {

namespace fs = std::filesystem;

TEST(WebConfig, RefusesWhatItCannotServeWithTheReason) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"tls_server_config: [cert_file\n", "is not YAML"},
      {"- a list\n", "is not a map"},
      {"tls_server_config:\n  cert_file: a\n  key_file: b\nbasic_auth_user:\n  x: y\n", "unknown key basic_auth_user (line 4)"},
      {"tls_server_config:\n  cert_file: a\n  kye_file: b\n", "unknown key tls_server_config.kye_file"},
      {"tls_server_config:\n  cert_file: a\n  key_file: b\n  client_ca_file: c\n", "client_ca_file is not supported"},
      {"http_server_config:\n  headers:\n    X: y\n", "headers is not supported"},
      {"tls_server_config:\n  cert_file: a\n", "a cert_file but no key_file"},
      {"tls_server_config:\n  key_file: b\n", "a key_file but no cert_file"},
      {"tls_server_config:\n  cert_file: a\n  key_file: b\n  min_version: TLS11\n", "TLS 1.2 is the least"},
      {"tls_server_config:\n  cert_file: a\n  key_file: b\n  min_version: TLS1.2\n", "'TLS1.2' is not TLS10"},
      {"tls_server_config:\n  cert_file: a\n  key_file: b\n  min_version: TLS13\n  max_version: TLS12\n", "below min_version"},
      {"tls_server_config:\n  cert_file: [a, b]\n  key_file: b\n", "cert_file (line 2) is not a single value"},
      {"basic_auth_users:\n  prometheus: secret\n", "basic_auth_users.prometheus is not a bcrypt hash"},
      {"basic_auth_users:\n  'a:b': $2y$04$0ktJ3aqq4VpCCYjg9As7S.bStBSGNQm0oqtbMuZ9.dAsWwDgsVlvm\n", "cannot be a user name"},
      {"basic_auth_users: [prometheus]\n", "is not a map of users"},
      {"basic_auth_users:\n  prom: $2y$04$0ktJ3aqq4VpCCYjg9As7S.bStBSGNQm0oqtbMuZ9.dAsWwDgsVlvm\n"
       "  prom: $2y$04$0ktJ3aqq4VpCCYjg9As7S.bStBSGNQm0oqtbMuZ9.dAsWwDgsVlvm\n",
       "the user 'prom' is listed twice"},
  };
  for (const auto& [yaml, reason] : cases) {
    const base::Result<WebConfig> c = parseWebConfig(yaml, "/etc/tamrik");
    ASSERT_FALSE(c.ok()) << yaml;
    EXPECT_EQ(c.failure().kind, base::FailureKind::BadArgument);
    EXPECT_NE(c.reason().find(reason), std::string::npos) << yaml << " -> " << c.reason();
    EXPECT_EQ(c.reason().find('\n'), std::string::npos) << c.reason();
  }
}

TEST(WebConfig, ReadsPathsFromTheFilesFolderAndTheTlsVersions) {
  base::Result<WebConfig> c = parseWebConfig(
      "tls_server_config:\n  cert_file: certs/server.crt\n  key_file: /secret/server.key\n  min_version: TLS13\n"
      "basic_auth_users:\n  prometheus: $2y$04$0ktJ3aqq4VpCCYjg9As7S.bStBSGNQm0oqtbMuZ9.dAsWwDgsVlvm\n"
      "http_server_config:\n  http2: false\n",
      "/etc/tamrik");
  ASSERT_TRUE(c.ok()) << c.reason();
  EXPECT_EQ(c->certFile, "/etc/tamrik/certs/server.crt");
  EXPECT_EQ(c->keyFile, "/secret/server.key");
  EXPECT_TRUE(c->tls13Only);
  EXPECT_FALSE(c->tls12Max);
  EXPECT_EQ(c->users.size(), 1u);

  // An empty file, or empty sections, ask for nothing: plain HTTP without passwords.
  for (const char* empty : {"", "tls_server_config:\nbasic_auth_users:\n"}) {
    c = parseWebConfig(empty, "/etc/tamrik");
    ASSERT_TRUE(c.ok()) << c.reason();
    EXPECT_TRUE(c->certFile.empty());
    EXPECT_TRUE(c->users.empty());
  }
}

// Keys and certificates made for the test in a folder of its own.
class WebConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("tamrik-web-config-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

  std::string writeKey(const std::string& name, EVP_PKEY* key, const char* passphrase = nullptr) {
    const std::string path = (folder_ / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    PEM_write_PrivateKey(f, key, passphrase ? EVP_aes_256_cbc() : nullptr, nullptr, 0, nullptr,
                         const_cast<char*>(passphrase));
    std::fclose(f);
    return path;
  }
  std::string writeCertificate(const std::string& name, EVP_PKEY* key) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_sign(cert.get(), key, EVP_sha256());
    const std::string path = (folder_ / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    PEM_write_X509(f, cert.get());
    std::fclose(f);
    return path;
  }
  std::string writeConfig(const std::string& cert, const std::string& key) {
    const std::string path = (folder_ / "web.yml").string();
    std::ofstream(path) << "tls_server_config:\n  cert_file: " << cert << "\n  key_file: " << key << "\n";
    return path;
  }

  fs::path folder_;
};

TEST_F(WebConfigFiles, TheKeyMustBeReadableStrongAndTheCertificates) {
  Key strong(EVP_RSA_gen(2048), EVP_PKEY_free);
  Key other(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Key weak(EVP_RSA_gen(1024), EVP_PKEY_free);
  const std::string cert = writeCertificate("server.crt", strong.get());
  const std::string key = writeKey("server.key", strong.get());

  base::Result<WebConfig> c = loadWebConfig(writeConfig("server.crt", "server.key"));
  ASSERT_TRUE(c.ok()) << c.reason();
  EXPECT_EQ(c->keyFile, key);

  const std::vector<std::pair<std::string, std::string>> refused = {
      {writeKey("weak.key", weak.get()), "weak key: 1024 bits, at least 2048"},
      {writeKey("other.key", other.get()), "is not the key of cert_file"},
      // Refused without asking for the passphrase (a prompt would hang the exporter).
      {writeKey("locked.key", strong.get(), "s3cret"), "locked.key is encrypted: a key with a passphrase cannot be used"},
      {(folder_ / "absent.key").string(), "cannot read key_file"},
      {cert, "holds no private key"},
  };
  for (const auto& [badKey, reason] : refused) {
    c = loadWebConfig(writeConfig(cert, badKey));
    ASSERT_FALSE(c.ok()) << badKey;
    EXPECT_NE(c.reason().find(reason), std::string::npos) << c.reason();
  }
  c = loadWebConfig(writeConfig(key, key));
  ASSERT_FALSE(c.ok());
  EXPECT_NE(c.reason().find("cert_file " + key + " holds no certificate"), std::string::npos) << c.reason();
  c = loadWebConfig((folder_ / "none.yml").string());
  ASSERT_FALSE(c.ok());
  EXPECT_NE(c.reason().find("none.yml: No such file"), std::string::npos) << c.reason();
  c = loadWebConfig(folder_.string());
  ASSERT_FALSE(c.ok());
  EXPECT_NE(c.reason().find("Is a directory"), std::string::npos) << c.reason();
}

TEST_F(WebConfigFiles, AnEmptyFileIsAnEmptyConfigAsOneOfCommentsAlone) {
  for (const char* text : {"", "# nothing set\n"}) {
    const std::string path = (folder_ / "web.yml").string();
    std::ofstream(path) << text;
    const base::Result<WebConfig> c = loadWebConfig(path);
    ASSERT_TRUE(c.ok()) << '"' << text << "\": " << c.reason();
    EXPECT_TRUE(c->certFile.empty());
    EXPECT_TRUE(c->users.empty());
  }
}

TEST(PasswordCheck, TakesTheRightPasswordOnlyInEveryBcryptForm) {
  // htpasswd -nbB -C 4 prom s3cret; $2b$ (Python's bcrypt) and $2a$ are the same hash.
  const std::string hash = "$2y$04$0ktJ3aqq4VpCCYjg9As7S.bStBSGNQm0oqtbMuZ9.dAsWwDgsVlvm";
  for (const char* prefix : {"$2y$", "$2b$", "$2a$"}) {
    PasswordCheck check({{"prom", prefix + hash.substr(4)}});
    EXPECT_TRUE(check("prom", "s3cret")) << prefix;
    EXPECT_TRUE(check("prom", "s3cret")) << prefix << " remembered";
    EXPECT_FALSE(check("prom", "s3cret ")) << prefix << " after a good one";
    EXPECT_FALSE(check("prom", "")) << prefix;
    EXPECT_FALSE(check("someone", "s3cret")) << prefix;
  }
}

}  // namespace
}  // namespace tamrik::ctl
