// Reply texts of the control line.
#pragma once

namespace qmx {

inline constexpr const char* kGreeting = "QMX ver2.01 ready\r\n";
inline constexpr const char* kReplyHello = "220 QMX ver2.01 ready\r\n";
inline constexpr const char* kReplyBadRequest = "500 Bad Request\r\n";
inline constexpr const char* kReplyNoParameter = "501 No parameter\r\n";
inline constexpr const char* kReplyUnusedPort = "502 unused port\r\n";
inline constexpr const char* kReplyDontClose = "502 don't close port\r\n";
inline constexpr const char* kReplyAlreadyOpened = "423 has already opened\r\n";
inline constexpr const char* kReplyNotOpen = "423 not open\r\n";
inline constexpr const char* kReplyNotOpened = "422 not opened\r\n";
inline constexpr const char* kReplyFailedComPort = "420 Failed to open com port\r\n";
inline constexpr const char* kReplyFailedTcpServer =
    "421 Failed to create TCP Server\r\n";
inline constexpr const char* kReplyCantMoreOpen = "421 can't more open\r\n";
inline constexpr const char* kReplyCannotOpenSetup = "424 Cann't open qmx.txt\r\n";
inline constexpr const char* kReplyOk = "200 OK\r\n";
inline constexpr const char* kReplySaved = "200 saved setup\r\n";
inline constexpr const char* kReplyNoClient = "422 no client\r\n";
inline constexpr const char* kReplyNotADataLine = "502 not a data line\r\n";
inline constexpr const char* kReplyNotAnOperator = "530 not an operator\r\n";

}  // namespace qmx
