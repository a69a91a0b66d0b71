// Loading the server's TLS files, and what an operator is told when one of
// them is wrong.
#include "tls/tls_context.h"

#include <gtest/gtest.h>

#include <string>

#include "tls_test_certificates.h"

namespace qmx::tls_test {
namespace {

TEST(TlsContextTest, LoadsOrNamesTheFileAndTheReason) {
  const std::string cert = Certificate("server.crt");
  const std::string key = Certificate("server.key");
  ASSERT_NE(cert, "");
  std::string failure = "left over";
  const auto open = TlsContext::Load(cert, key, "", &failure);
  ASSERT_NE(open, nullptr) << failure;
  EXPECT_EQ(failure, "");
  EXPECT_FALSE(open->RequiresClientCertificate());
  const auto checking = TlsContext::Load(cert, key, Certificate("ca.crt"), &failure);
  ASSERT_NE(checking, nullptr) << failure;
  EXPECT_TRUE(checking->RequiresClientCertificate());

  const std::string missing = Certificate("missing.pem");
  const std::string otherKey = Certificate("client.key");
  const std::string locked = Certificate("locked.key");
  const struct {
    std::string cert, key, clientCa, failure;
  } wrong[] = {
      {missing, key, "", missing + ": No such file or directory"},
      {cert, missing, "", missing + ": No such file or directory"},
      {cert, key, missing, missing + ": No such file or directory"},
      {cert, otherKey, "", otherKey + ": key does not match the certificate"},
      {key, key, "", key + ": no PEM certificate in it"},
      {cert, cert, "", cert + ": no PEM private key in it"},
      {cert, key, key, key + ": no PEM certificate in it"},
      // Never a prompt on the terminal: the load fails.
      {cert, locked, "", locked + ": the key is protected by a passphrase"},
  };
  for (const auto& c : wrong) {
    EXPECT_EQ(TlsContext::Load(c.cert, c.key, c.clientCa, &failure), nullptr);
    EXPECT_EQ(failure, c.failure);
  }
}

}  // namespace
}  // namespace qmx::tls_test
