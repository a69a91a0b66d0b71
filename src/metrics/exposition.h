// The metrics page: a snapshot of the server's figures (ServerStats) in the
// Prometheus text exposition format, version 0.0.4, the body the metrics
// endpoint serves with Content-Type "text/plain; version=0.0.4".
//
// Every family is written with its `# HELP` and `# TYPE` lines and then all
// of its samples; a family without samples (the line error counters when no
// port's device keeps them) is left out entirely. Label values are escaped
// (backslash, double quote and newline), as port names come from the
// settings file. Names follow the format's habits: base units, `_total` on
// counters. The families:
//
//   qmx_start_time_seconds                       gauge, unix seconds
//   qmx_line_listening{line}                     gauge, 1 while it listens
//   qmx_line_tcp_port{line}                      gauge, 0 while it does not listen
//   qmx_line_clients{line}                       gauge
//   qmx_line_bytes_total{line,direction}         counter: to_device, to_client
//   qmx_line_connections_total{line,result}      counter: accepted, refused
//   qmx_line_drops_total{line,reason}            counter: stalled, keepalive, idle
//   qmx_port_open{port}                          gauge, 1 while open
//   qmx_port_waiting{port}                       gauge, 1 while awaiting its device
//   qmx_port_bytes_total{port,direction}         counter: to_device, from_device
//   qmx_port_device_losses_total{port}           counter
//   qmx_port_device_returns_total{port}          counter
//   qmx_port_line_errors_total{port,kind}        counter: frame, parity, overrun,
//                                                break, buffer_overrun; only for
//                                                ports whose device keeps them
//
// `line` is the line number in decimal (0 the control line), `port` the
// port's name ("com1").
//
// Pure: any thread, nothing throws.
#pragma once

#include <string>

#include "engine/stats.h"

namespace qmx {

std::string RenderMetrics(const ServerStats& stats);

}  // namespace qmx
