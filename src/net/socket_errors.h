// Socket error codes and the socket layer's messages.
//
// Principles of operation: the socket layer reports every failure with one
// integer code. The codes keep the numbering that technicians know from the
// status lines of earlier installations (10061 refused, 10054 reset by the
// peer, 11001 host not found, ...), so the system's errno values are mapped
// onto them here, in one table. A code's text is the system's own text for
// the matching errno, in code page 1254. An errno value the table does not
// know keeps its own number (below 1000, so it never looks like a known code).
#pragma once

#include <string>
#include <string_view>

namespace km40r {

// Codes with a meaning of their own for the program.
inline constexpr int kSocketInterrupted = 10004;     // EINTR
inline constexpr int kSocketAccessDenied = 10013;    // EACCES
inline constexpr int kSocketInvalidArgument = 10022; // EINVAL, e.g. a port outside 0..65535
inline constexpr int kSocketTooManyOpen = 10024;     // EMFILE
inline constexpr int kSocketWouldBlock = 10035;      // EAGAIN
inline constexpr int kSocketAddressInUse = 10048;    // EADDRINUSE
inline constexpr int kSocketNetworkUnreachable = 10051;
inline constexpr int kSocketConnectionAborted = 10053; // also a timeout on an open connection
inline constexpr int kSocketConnectionReset = 10054;   // also a send after the peer's reset
inline constexpr int kSocketTimedOut = 10060;
inline constexpr int kSocketConnectionRefused = 10061;
inline constexpr int kSocketHostUnreachable = 10065;
inline constexpr int kSocketEmptyHost = 1110;     // the host text is empty
inline constexpr int kSocketHostNotFound = 11001; // the name does not resolve
inline constexpr int kSocketLookupFailed = 11003; // the resolver itself failed

// The code of an errno value.
int SocketErrorCode(int errnoValue);

// The code of an errno value that an open connection reports: as
// SocketErrorCode, except that a timeout (the network stopped answering)
// counts as an aborted connection, 10053.
int ConnectionErrorCode(int errnoValue);

// The system's text for a code (code page 1254, no trailing full stop or
// blanks), e.g. "Connection refused" for 10061.
std::string SocketErrorText(int code);

// "Asynchronous socket error %d": an error that a socket notification
// carried.
std::string AsyncSocketErrorMessage(int code);

// "Windows socket error: %s (%d), on API '%s'": a socket call that failed,
// with the code's text, the code and the call's name ("bind", "send", ...).
std::string SocketCallErrorMessage(int code, std::string_view api);

} // namespace km40r
