#include "relay/corv_doc.h"

#include "engine/line_table.h"

namespace qmx {

void CCorvDoc::JoinRelayThread() {
  if (relayThread_.joinable()) relayThread_.join();
}

}  // namespace qmx
