// Server: one running serial-port server. It owns its folder (qmx.txt and the
// device names resolve in it), its line table (texts, ports, sockets, queues,
// logs) and its document (the command log, the window's requests and the
// relay thread). Nothing of it lives outside the object, so two servers, each
// in its own folder and on its own TCP ports, can run in one process.
//
// Start brings the lines up from qmx.txt and starts the relay thread; Stop
// shuts every line down, which ends the relay thread, and joins it. The
// destructor stops a server that still runs.
//
// Threads: Start and Stop run on the thread that owns the object (qmxd's
// main thread, the window's thread, a test); everything else runs on the
// relay thread and the threads the line table's ports and sockets own.
#pragma once

#include <string>

#include "engine/line_table.h"
#include "relay/corv_doc.h"

namespace qmx {

// Where a server's devices and clients come from: the folder's devices and
// real sockets by default; a test gives fakes (serial/device.h,
// net/network.h), which it keeps for the server's life.
struct ServerSeams {
  DeviceOpener* devices = nullptr;
  Network* network = nullptr;
};

class Server {
 public:
  // A server in `folder`, which must be a directory, with `dataLines` data
  // lines (kDefaultDataLines to kMaxDataLines). FolderProblem says what was
  // wrong with them.
  explicit Server(const std::string& folder = ".", int dataLines = kDefaultDataLines,
                  const ServerSeams& seams = ServerSeams());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "" when the folder was opened and the line count is one the server can
  // have, else why not; such a server does not start.
  const std::string& FolderProblem() const { return folderProblem_; }

  enum class StartResult {
    kServing,             // every line that could come up is up
    kSettingsUnreadable,  // qmx.txt could not be read (SetupFileProblem says why)
    kControlLineDown,     // the control line has a TCP port and cannot listen
    kNoFolder,            // FolderProblem says why
  };
  // Reads qmx.txt, brings the lines up and starts the relay thread. On a
  // result other than kServing the lines that came up stay up until Stop, as
  // the window shows them; qmxd stops at once instead.
  StartResult Start();
  // Shuts every line and port down and joins the relay thread. Safe to call
  // twice, and on a server that never started.
  void Stop();

  LineTable& Table() { return table_; }
  CCorvDoc& Document() { return document_; }
  int DataLines() const { return dataLines_; }

 private:
  // The folder's descriptor, closed after everything that uses it is gone
  // (members are destroyed in the reverse of this order).
  class Folder {
   public:
    Folder(const std::string& path, std::string* problem);
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    int fd() const { return fd_; }

   private:
    int fd_;
  };

  std::string folderProblem_;
  const Folder folder_;
  const int dataLines_;
  LineTable table_;
  CCorvDoc document_;
  bool started_ = false;
};

}  // namespace qmx
