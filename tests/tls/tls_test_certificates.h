// The certificates of a TLS test run, made on first use with the openssl
// command in a scratch folder (P-256 keys valid for a day), so that no key
// is kept in the tree. By file name:
//   ca.crt, ca.key              the client authority
//   server.crt, server.key      the server's, signed by ca
//   client.crt, client.key      a client's (CN "bench-7"), signed by ca
//   stranger.crt, stranger.key  a client's of the same name, signed by
//                               another authority (other-ca)
//   locked.key                  server.key under the passphrase "secret"
#pragma once

#include <chrono>
#include <string>

#include "testsupport/child_process.h"
#include "testsupport/scratch_dir.h"

namespace qmx::tls_test {

// The extensions come from the script's own configuration, not the machine's.
inline constexpr char kMakeCertificates[] = R"(set -e
printf '[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign\n[leaf]\nbasicConstraints = critical, CA:FALSE\nextendedKeyUsage = serverAuth, clientAuth\n' > openssl.cnf
sign() {
  name=$1 cn=$2; shift 2
  openssl req -config openssl.cnf -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc \
    -days 1 -subj "/CN=$cn" -keyout "$name.key" -out "$name.crt" "$@"
}
sign ca 'qmx test CA' -x509 -extensions ca
sign other-ca 'qmx other CA' -x509 -extensions ca
sign server localhost -extensions leaf -CA ca.crt -CAkey ca.key
sign client bench-7 -extensions leaf -CA ca.crt -CAkey ca.key
sign stranger bench-7 -extensions leaf -CA other-ca.crt -CAkey other-ca.key
openssl pkey -in server.key -aes-128-cbc -passout pass:secret -out locked.key
)";

// The path of the run's certificate file `name`; "" when they could not be
// made (the reason is in openssl.err of the scratch folder, which is kept).
inline std::string Certificate(const std::string& name) {
  static testsupport::ScratchDir dir("qmx-tls", testsupport::ScratchDir::Enter::kNo);
  static const bool made = [] {
    testsupport::ChildOptions options;
    options.binary = "/bin/sh";
    options.argv = {"sh", "-c", kMakeCertificates};
    options.directory = dir.path();
    options.stderrPath = dir.path() + "/openssl.err";
    testsupport::ChildProcess shell;
    std::string error;
    const bool ok = dir.ok() && shell.Start(options, &error) &&
                    shell.WaitExit(std::chrono::seconds(10)) == 0;
    if (!ok) dir.Keep();
    return ok;
  }();
  return made ? dir.path() + "/" + name : "";
}

}  // namespace qmx::tls_test
