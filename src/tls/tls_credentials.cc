#include "tls/tls_credentials.h"

#include <utility>

#include "tls/tls_connection.h"
#include "tls/tls_context.h"

namespace qmx {

TlsCredentials::TlsCredentials(std::string certFile, std::string keyFile,
                               std::string clientCaFile)
    : certFile_(std::move(certFile)),
      keyFile_(std::move(keyFile)),
      clientCaFile_(std::move(clientCaFile)) {}

bool TlsCredentials::Load(std::string* failure) {
  std::shared_ptr<TlsContext> loaded =
      TlsContext::Load(certFile_, keyFile_, clientCaFile_, failure);
  if (loaded == nullptr) return false;
  MutexLock lock(shared_->mutex);
  shared_->context = std::move(loaded);
  return true;
}

ConnectionMaker TlsCredentials::Maker() {
  return [shared = shared_](int fd, const IpAddress& peer) {
    std::shared_ptr<const TlsContext> context;
    {
      MutexLock lock(shared->mutex);
      context = shared->context;
    }
    return MakeTlsConnection(fd, peer, std::move(context));
  };
}

}  // namespace qmx
