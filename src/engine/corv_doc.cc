#include "engine/corv_doc.h"

#include "engine/line_table.h"

namespace qmx {

std::atomic<CCorvDoc*> relayDoc{nullptr};

CCorvDoc::~CCorvDoc() { JoinRelayThread(); }

void CCorvDoc::JoinRelayThread() {
  if (relayThread_.joinable()) relayThread_.join();
}

void CCorvDoc::AdvanceCommandLog() {
  AdvanceRing(commandLogIndex, commandLogSize, commandLogWrapped);
}

void CCorvDoc::AppendCommandLog(const std::string& text) {
  if (commandLogSize <= 0 || static_cast<int32_t>(commandLog.size()) < commandLogSize) {
    commandLog.assign(kLogSize, std::string());
    commandLogIndex = 0;
    commandLogSize = kLogSize;
    commandLogWrapped = 0;
  }
  commandLog[commandLogIndex] = text;
  AdvanceCommandLog();
}

std::vector<std::string> CCorvDoc::CommandLogListing() const {
  return ListRing(commandLog, commandLogIndex, commandLogSize, commandLogWrapped);
}

}  // namespace qmx
