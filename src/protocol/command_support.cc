#include "protocol/command_support.h"

#include "engine/line_table.h"
#include "engine/startup.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"

namespace qmx {

int FindConfiguredPort(std::string_view name) {
  for (int k = 0; k < kPortCount; ++k) {
    if (FieldText(comSettings[k].name) == name) return k;
  }
  return -1;
}

bool EnsureDataListener(int L) {
  if (TcpLineListening(L)) return true;
  int error = 0;
  // A line whose earlier listen failed still holds its socket; release it so
  // the listener can start afresh.
  if (tcpLines[L].state.load() > 0) TcpDisconnect(L, &error);
  const std::string& text = tcpPortText[L];
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') CopyField(tcpLines[L].port, text);
  txQueue[L - 1].Allocate(kQueueCapacity);
  if (StartTcpServer(L) != 0) return false;
  DebugTrace("Data Server Socket Success");
  return true;
}

}  // namespace qmx
