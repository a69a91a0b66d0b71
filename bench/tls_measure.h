// The TLS comparison: each server serves one line with TLS (qmxd with
// --tls 1, socat with OPENSSL-LISTEN), on a process of its own started after
// the plain measurement, with a throw-away self-signed certificate that both
// present. The benchmark connects its own TLS client (tls_client.h) to each
// and measures, the servers taking turns: throughput of the line each way,
// round trips of 1 and 64 bytes through an echo device, and the server's CPU
// time per megabyte relayed. Every byte is checked as on the plain lines.
#pragma once

#include <vector>

#include "bench_options.h"
#include "measure.h"

namespace qmx::bench {

// Fills figures[i].tls for servers[i]; `figures` is in the order of `servers`.
void MeasureTls(const std::vector<ServerToMeasure>& servers, const BenchOptions& options,
                std::vector<RelayFigures>* figures);

}  // namespace qmx::bench
