#include "relay/line_output.h"

#include <cerrno>

#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "serial/rs_port.h"

namespace qmx {

void DataLineOutput::Clear() {
  pending_.clear();
  sent_ = 0;
}

void DataLineOutput::Keep(int line, std::span<const uint8_t> bytes,
                          Clock::time_point now) {
  if (!HasPending()) {
    Clear();
    client_ = TcpClientSerial(line);
    lastProgress_ = now;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void DataLineOutput::Send(int line, std::span<const uint8_t> chunk,
                          Clock::time_point now) {
  if (HasPending()) {
    if (TcpClientSerial(line) == client_) {
      Keep(line, chunk, now);
      return;
    }
    Clear();  // the client they were for has gone
  }
  int error = 0;
  int sent = TcpSendNow(line, chunk.data(), static_cast<int>(chunk.size()), &error);
  if (sent < 0) return;  // no client: the bytes are lost
  if (static_cast<size_t>(sent) < chunk.size()) Keep(line, chunk.subspan(sent), now);
}

void DataLineOutput::Flush(int line, Clock::time_point now) {
  if (!HasPending()) return;
  if (TcpClientSerial(line) != client_) {
    Clear();
    return;
  }
  int error = 0;
  // Only to the client the kept bytes are for: the next one never gets them.
  int sent = TcpSendNowTo(line, client_, pending_.data() + sent_,
                          static_cast<int>(pending_.size() - sent_), &error);
  if (sent < 0) {
    Clear();
    return;
  }
  if (sent > 0) {
    sent_ += static_cast<size_t>(sent);
    lastProgress_ = now;
    if (!HasPending()) Clear();
    return;
  }
  if (now - lastProgress_ >= std::chrono::milliseconds(SendStallLimitMs())) {
    DebugTracef("data line %d: client took nothing for %d ms, disconnected", line,
                SendStallLimitMs());
    TcpDropClient(line, client_);
    Clear();
  }
}

void ControlLineOutput::Clear() {
  pending_.clear();
  sent_ = 0;
}

void ControlLineOutput::Serve(uint64_t client, Clock::time_point now) {
  if (client == client_) return;
  Clear();
  client_ = client;
  gone_ = false;
  lastProgress_ = now;
}

void ControlLineOutput::Send(std::span<const uint8_t> bytes, Clock::time_point now) {
  if (gone_ || bytes.empty()) return;
  if (HasPending()) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return;
  }
  int error = 0;
  const int sent =
      TcpSendNowTo(0, client_, bytes.data(), static_cast<int>(bytes.size()), &error);
  if (sent < 0) {
    gone_ = true;
    return;
  }
  if (static_cast<size_t>(sent) < bytes.size()) {
    Clear();
    pending_.assign(bytes.begin() + sent, bytes.end());
    lastProgress_ = now;
  }
}

void ControlLineOutput::Flush(Clock::time_point now) {
  if (!HasPending() || gone_) return;
  int error = 0;
  const int sent = TcpSendNowTo(0, client_, pending_.data() + sent_,
                                static_cast<int>(pending_.size() - sent_), &error);
  if (sent < 0) {
    gone_ = true;
    Clear();
    return;
  }
  if (sent > 0) {
    sent_ += static_cast<size_t>(sent);
    lastProgress_ = now;
    if (!HasPending()) Clear();
    return;
  }
  if (now - lastProgress_ >= std::chrono::milliseconds(SendStallLimitMs())) {
    DebugTracef("control line: client took nothing for %d ms, disconnected",
                SendStallLimitMs());
    TcpDropClient(0, client_);
    gone_ = true;
    Clear();
  }
}

void SerialPortOutput::Write(int n, std::span<const uint8_t> chunk,
                             Clock::time_point now) {
  if (HasPending()) {
    // The chunk's first part is still being written: this part follows it.
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
    return;
  }
  int written = RsWriteNow(n, chunk.data(), static_cast<int>(chunk.size()));
  if (written < 0 || static_cast<size_t>(written) == chunk.size())
    return;  // refused, or done
  pending_.assign(chunk.begin() + written, chunk.end());
  sent_ = 0;
  writtenAtOnce_ = static_cast<size_t>(written);
  started_ = now;
}

void SerialPortOutput::Flush(int n, Clock::time_point now) {
  if (!HasPending()) return;
  int written =
      RsWriteNow(n, pending_.data() + sent_, static_cast<int>(pending_.size() - sent_));
  if (written < 0) {
    Finish(n, /*timedOut=*/true);
    return;
  }
  sent_ += static_cast<size_t>(written);
  if (!HasPending()) {
    Finish(n, /*timedOut=*/false);
  } else if (now - started_ >= std::chrono::milliseconds(kRsWriteLimitMs)) {
    Finish(n, /*timedOut=*/true);
  }
}

void SerialPortOutput::Finish(int, bool timedOut) {
  if (timedOut) {
    DebugTracef("\nProbable Write Timeout: Total of %ld bytes sent",
                static_cast<long>(writtenAtOnce_ + sent_));
  } else {
    DebugTracef("\n%ld bytes written", static_cast<long>(writtenAtOnce_ + sent_));
  }
  pending_.clear();
  sent_ = 0;
}

}  // namespace qmx
