// What OpenSSL said about a failure, as a short text for a log line.
//
// OpenSSL keeps its errors in a queue of the calling thread; each helper here
// reads the calling thread's queue and leaves it empty, so the next call's
// errors are its own.
#pragma once

#include <string>

namespace qmx::tls {

// The reason for the failure just seen: the system's words when a system
// call failed ("No such file or directory"), else OpenSSL's reason of the
// last error ("no start line"); "unknown error" when the queue is empty.
std::string TakeOpenSslReason();

}  // namespace qmx::tls
