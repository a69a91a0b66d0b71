// DebugTrace: the one sink for the system's debug trace.
//
// The trace is off unless QMX_TRACE is set when the process starts (or a sink
// is installed): "-" writes to standard error, any other value names a file
// to append to. Each trace is written as CR LF followed by the message, in one
// write, so traces of different threads never interleave within a message.
// Tests install their own sink with SetTraceSink to assert trace texts.
//
// Formatting a trace costs time on the hot paths (the relay loop traces every
// chunk), so DebugTracef formats only when the trace is on.
#pragma once

#include <functional>
#include <string_view>

namespace qmx {

using TraceSink = std::function<void(std::string_view message)>;

// Reads QMX_TRACE and opens the sink it names. Called once by each executable.
void InitTraceFromEnvironment();

// Installs a sink that receives each message (without the leading CR LF); an
// empty function turns the trace off. Thread-safe.
void SetTraceSink(TraceSink sink);

// True when some sink is installed; a cheap atomic read.
bool TraceEnabled();

void DebugTrace(std::string_view message);

// printf-style trace, formatted only when the trace is on.
void DebugTracef(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qmx
