// Start-up, line activation and shutdown of the server.
//
// ServerStartup starts the socket layer, opens wakeEvent, sizes the error
// log, reads qmx.txt and activates the control line and the eight data lines
// in order. ActivateLine / DeactivateLine switch one line on or off from its
// current texts (the window's OK uses them; the caller deactivates before it
// changes a line's texts). ServerShutdown closes every listener, the socket
// layer and every open port, empties the error log and closes wakeEvent,
// which ends the relay thread.
//
// Activation failures go to the error log and to the line's status text.
// ActivateLine, DeactivateLine and StartTcpServer need engineLock held;
// ServerStartup and ServerShutdown take it themselves.
#pragma once

namespace qmx {

// Activation results.
inline constexpr int kActivationNothing = 0;
inline constexpr int kActivationUnused = 1;
inline constexpr int kActivationOk = 2;
inline constexpr int kActivationFailed = 3;

// Points every line's socket record and every serial port at its queue in the
// line table and at wakeEvent. ServerStartup does it first.
void BindLineQueues();

int ServerStartup();
int ActivateAllLines();
int ActivateLine(int line);
void DeactivateLine(int line);
void ActivationResultText(int result, char (&buffer)[16]);
int StartTcpServer(int line);
int ServerShutdown();

// Empties the texts of port record n that mark it in service (name, baud,
// parity, data bits, definition) and, with `flowToo`, its flow text.
void ClearPortRecord(int n, bool flowToo);

// Takes port n out of service: closes it (its receive thread has ended when
// RsClose returns), empties its record but for the flow text, and frees its
// receive queue.
void ClosePortAndQueue(int n);

}  // namespace qmx
