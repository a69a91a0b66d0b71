// One end of a line that is not a plain descriptor: the benchmark's client
// side of a TLS session over its socket. The throughput runs, the round trips
// and the quiet check call it where they would read or write a descriptor,
// and wait on its descriptor for the events it names.
//
// One thread at a time calls an end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace qmx::bench {

class StreamEnd {
 public:
  virtual ~StreamEnd() = default;

  // The descriptor to wait on.
  virtual int Fd() const = 0;
  // The poll events (POLLIN, POLLOUT or both) that the next Write (`writing`)
  // or Read waits for. An end that already holds received bytes, which poll
  // cannot see, asks for both: a socket is almost always writable, so the
  // wait ends at once.
  virtual short Events(bool writing) const = 0;
  // As write(2) and read(2) on a non-blocking descriptor: the count of bytes
  // taken or given, 0 from Read when the other side ended the stream, -1 with
  // errno set (EAGAIN: wait for Events, then call again).
  virtual ssize_t Write(const uint8_t* data, size_t size) = 0;
  virtual ssize_t Read(uint8_t* into, size_t size) = 0;
  // Bytes of a Write that was begun but is not yet out (a TLS record only
  // partly taken by the socket) and that Write did not count: the next Write
  // must offer these same bytes first. 0 for an end with nothing begun.
  virtual size_t Unfinished() const { return 0; }
};

}  // namespace qmx::bench
