// One line table for a test program that exercises a subsystem on its own
// (the socket layer, the serial driver, the settings file, a fuzz target):
// made on first use and kept until the program ends. It follows the working
// directory, so each test's scratch folder is its folder.
#pragma once

#include <fcntl.h>

#include "engine/line_table.h"

namespace qmx::testsupport {

inline LineTable& Table() {
  static LineTable table(AT_FDCWD);
  return table;
}
inline SocketLayer& Sockets() { return Table().net; }
inline SerialPorts& Ports() { return Table().serial; }

}  // namespace qmx::testsupport

namespace qmx {
using testsupport::Ports;
using testsupport::Sockets;
using testsupport::Table;
}  // namespace qmx
