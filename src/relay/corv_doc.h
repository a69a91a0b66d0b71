// CCorvDoc: the document of one server. It owns the command log of the control
// line (every command line and every reply sent, in order) and the server's
// relay (relay_loop.cc); its initialisation starts the relay thread.
//
// The command log has its own lock; refreshNeeded is an atomic that the relay thread sets
// and the window's timer reads and clears. The window's changes to the lines
// reach the relay thread through Requests().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/log_ring.h"
#include "relay/relay_requests.h"

namespace qmx {

class LineTable;
class Relay;

class CCorvDoc {
 public:
  // The document of the server whose line table is `table`.
  explicit CCorvDoc(LineTable& table);
  ~CCorvDoc();
  CCorvDoc(const CCorvDoc&) = delete;
  CCorvDoc& operator=(const CCorvDoc&) = delete;

  // Sizes the command log and starts the relay thread. A second call (the
  // window's "new document") neither resets the log nor starts a second
  // thread. Returns true (also when the thread could not be started).
  bool OnNewDocument();

  // Waits for the relay thread to end; it ends once ServerShutdown has closed
  // wakeEvent. Called at exit after ServerShutdown.
  void JoinRelayThread();
  bool RelayThreadRunning() const { return relayThread_.joinable(); }

  // Stores `text` in the next command-log slot. Any thread.
  void AppendCommandLog(const std::string& text) { commandLog_.Append(text); }
  std::vector<std::string> CommandLogListing() const { return commandLog_.Listing(); }
  int32_t CommandLogIndex() const { return commandLog_.Index(); }
  int32_t CommandLogWrapped() const { return commandLog_.Wrapped(); }

  // Shows the "Fatal error" message when the relay thread cannot start; the
  // window installs a message box here.
  std::function<void(const char* message)> fatalErrorHandler;

  // Work the window hands to the relay thread (its OK and serial setup).
  RelayRequests& Requests() { return requests_; }

  LineTable& Table() { return table_; }

 private:
  LineTable& table_;
  LogRing commandLog_;
  RelayRequests requests_;
  std::unique_ptr<Relay> relay_;
  std::thread relayThread_;
  bool initialised_ = false;
};

}  // namespace qmx
