#include "relay/line_output.h"

#include <cerrno>

#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

bool StalledSince(const KeptBytes& kept, KeptBytes::Clock::time_point now, int limitMs) {
  return now - kept.LastProgress() >= std::chrono::milliseconds(limitMs);
}

}  // namespace

void DataLineOutput::Send(int line, std::span<const uint8_t> chunk,
                          Clock::time_point now) {
  if (kept_.Any()) {
    if (net_->TcpClientSerial(line) == client_) {
      kept_.Keep(chunk, now);
      return;
    }
    kept_.Clear();  // the client they were for has gone
  }
  int error = 0;
  int sent = net_->TcpSendNow(line, chunk.data(), static_cast<int>(chunk.size()), &error);
  if (sent < 0) return;  // no client: the bytes are lost
  if (static_cast<size_t>(sent) < chunk.size()) {
    client_ = net_->TcpClientSerial(line);
    kept_.Keep(chunk.subspan(static_cast<size_t>(sent)), now);
  }
}

void DataLineOutput::Flush(int line, Clock::time_point now) {
  if (!kept_.Any()) return;
  if (net_->TcpClientSerial(line) != client_) {
    kept_.Clear();
    return;
  }
  int error = 0;
  // Only to the client the kept bytes are for: the next one never gets them.
  const std::span<const uint8_t> front = kept_.Front();
  int sent = net_->TcpSendNowTo(line, client_, front.data(),
                                static_cast<int>(front.size()), &error);
  if (sent < 0) {
    kept_.Clear();
  } else if (sent > 0) {
    kept_.Taken(static_cast<size_t>(sent), now);
  } else if (StalledSince(kept_, now, net_->SendStallLimitMs())) {
    DebugTracef("data line %d: client took nothing for %d ms, disconnected", line,
                net_->SendStallLimitMs());
    net_->TcpDropClient(line, client_);
    kept_.Clear();
  }
}

bool DataLineOutput::DropClient(int line) {
  const uint64_t present = net_->TcpClientSerial(line);
  // Bytes kept for a client that has gone since are not the present one's
  // to answer for.
  const bool dropped = !kept_.Any() || client_ == present;
  if (dropped) net_->TcpDropClient(line, present);
  kept_.Clear();
  return dropped;
}

void ControlLineOutput::Serve(uint64_t client, Clock::time_point) {
  if (client == client_) return;
  kept_.Clear();
  client_ = client;
  gone_ = false;
}

void ControlLineOutput::Send(std::span<const uint8_t> bytes, Clock::time_point now) {
  if (gone_ || bytes.empty()) return;
  if (kept_.Any()) {
    kept_.Keep(bytes, now);
    return;
  }
  int error = 0;
  const int sent = net_->TcpSendNowTo(record_, client_, bytes.data(),
                                      static_cast<int>(bytes.size()), &error);
  if (sent < 0) {
    gone_ = true;
  } else if (static_cast<size_t>(sent) < bytes.size()) {
    kept_.Keep(bytes.subspan(static_cast<size_t>(sent)), now);
  }
}

void ControlLineOutput::Flush(Clock::time_point now) {
  if (!kept_.Any() || gone_) return;
  int error = 0;
  const std::span<const uint8_t> front = kept_.Front();
  const int sent = net_->TcpSendNowTo(record_, client_, front.data(),
                                      static_cast<int>(front.size()), &error);
  if (sent < 0) {
    gone_ = true;
    kept_.Clear();
  } else if (sent > 0) {
    kept_.Taken(static_cast<size_t>(sent), now);
  } else if (StalledSince(kept_, now, net_->SendStallLimitMs())) {
    DebugTracef("control line: client took nothing for %d ms, disconnected",
                net_->SendStallLimitMs());
    net_->TcpDropClient(record_, client_);
    gone_ = true;
    kept_.Clear();
  }
}

void SerialPortOutput::Write(int n, std::span<const uint8_t> chunk,
                             Clock::time_point now) {
  if (kept_.Any()) {
    // The chunk's first part is still being written: this part follows it.
    kept_.Keep(chunk, now);
    return;
  }
  int written = serial_->RsWriteNow(n, chunk.data(), static_cast<int>(chunk.size()));
  if (written < 0 || static_cast<size_t>(written) == chunk.size())
    return;  // refused, or done
  kept_.Keep(chunk.subspan(static_cast<size_t>(written)), now);
  written_ = static_cast<size_t>(written);
  started_ = now;
}

void SerialPortOutput::Flush(int n, Clock::time_point now) {
  if (!kept_.Any()) return;
  const std::span<const uint8_t> front = kept_.Front();
  int written = serial_->RsWriteNow(n, front.data(), static_cast<int>(front.size()));
  if (written < 0) {
    Finish(/*timedOut=*/true);
    return;
  }
  written_ += static_cast<size_t>(written);
  kept_.Taken(static_cast<size_t>(written), now);
  if (!kept_.Any()) {
    Finish(/*timedOut=*/false);
  } else if (now - started_ >= std::chrono::milliseconds(kRsWriteLimitMs)) {
    Finish(/*timedOut=*/true);
  }
}

void SerialPortOutput::Finish(bool timedOut) {
  if (timedOut) {
    DebugTracef("\nProbable Write Timeout: Total of %ld bytes sent",
                static_cast<long>(written_));
  } else {
    DebugTracef("\n%ld bytes written", static_cast<long>(written_));
  }
  kept_.Clear();
  written_ = 0;
}

}  // namespace qmx
