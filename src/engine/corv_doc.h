// CCorvDoc: the document. It owns the command log of the control line (every
// command line and every reply sent, in order) and the refreshNeeded flag that
// tells the window to reload the line table. Its initialisation starts the one
// relay thread of the process.
//
// The command log is guarded by engineLock (engine/line_table.h);
// refreshNeeded is an atomic that the relay thread sets and the window's timer
// reads and clears.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qmx {

class CCorvDoc {
 public:
  CCorvDoc() = default;
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

  void AdvanceCommandLog();
  // Stores `text` in the next command-log slot and advances. Needs engineLock.
  void AppendCommandLog(const std::string& text);
  std::vector<std::string> CommandLogListing() const;  // oldest first; engineLock

  std::vector<std::string> commandLog;
  int32_t commandLogIndex = 0;
  int32_t commandLogSize = 0;
  int32_t commandLogWrapped = 0;
  std::atomic<int32_t> refreshNeeded{0};

  // Shows the "Fatal error" message when the relay thread cannot start; the
  // window installs a message box here.
  std::function<void(const char* message)> fatalErrorHandler;

 private:
  std::thread relayThread_;
  bool initialised_ = false;
};

// The document the relay thread serves; set by the relay thread as its first
// action.
extern std::atomic<CCorvDoc*> relayDoc;

}  // namespace qmx
