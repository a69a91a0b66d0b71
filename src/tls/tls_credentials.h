// The server's TLS credentials as the program holds them: loaded from the
// files its options name, handed to the socket layer as the maker of its
// TLS lines' connections, and loaded again on a reload, so that a renewed
// certificate needs no restart. Connections already made keep the context
// they were made with; the next ones get the new one.
//
// Threads: Load and Reload on the program's main thread; the maker runs on
// the lines' accept threads.
#pragma once

#include <memory>
#include <string>

#include "net/client_connection.h"
#include "platform/mutex.h"

namespace qmx {

class TlsContext;

class TlsCredentials {
 public:
  TlsCredentials(std::string certFile, std::string keyFile, std::string clientCaFile);

  // Reads the files; false with the reason in *failure (nothing changes).
  bool Load(std::string* failure);
  // The maker of TLS connections from the context loaded last.
  ConnectionMaker Maker();

 private:
  const std::string certFile_;
  const std::string keyFile_;
  const std::string clientCaFile_;
  struct Shared {
    Mutex mutex;
    std::shared_ptr<const TlsContext> context GUARDED_BY(mutex);
  };
  const std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace qmx
