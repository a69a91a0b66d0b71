#include "tls/openssl_error.h"

#include <openssl/err.h>

#include <cstring>

namespace qmx::tls {

std::string TakeOpenSslReason() {
  // A failed fopen or read comes as a system error followed by generic ones
  // ("system lib"); the system's own words say more.
  std::string system;
  std::string last;
  while (const unsigned long error = ERR_get_error()) {
    if (ERR_SYSTEM_ERROR(error)) {
      if (system.empty()) system = std::strerror(ERR_GET_REASON(error));
      continue;
    }
    const char* reason = ERR_reason_error_string(error);
    last = reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(error));
  }
  if (!system.empty()) return system;
  return last.empty() ? "unknown error" : last;
}

}  // namespace qmx::tls
