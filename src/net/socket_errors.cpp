#include "net/socket_errors.h"

#include "core/cp1254.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace km40r {
namespace {

struct CodeErrno {
    int code;
    int errnoValue;
};

// Each code with the errno it stands for; the first row of an errno wins
// when mapping errno to code, the first row of a code when finding its text.
constexpr CodeErrno kTable[] = {
    {kSocketInterrupted, EINTR},
    {10009, EBADF},
    {kSocketAccessDenied, EACCES},
    {10014, EFAULT},
    {kSocketInvalidArgument, EINVAL},
    {kSocketTooManyOpen, EMFILE},
    {kSocketTooManyOpen, ENFILE},
    {kSocketWouldBlock, EAGAIN},
    {10036, EINPROGRESS},
    {10037, EALREADY},
    {10038, ENOTSOCK},
    {10039, EDESTADDRREQ},
    {10040, EMSGSIZE},
    {10041, EPROTOTYPE},
    {10042, ENOPROTOOPT},
    {10043, EPROTONOSUPPORT},
    {10044, ESOCKTNOSUPPORT},
    {10045, EOPNOTSUPP},
    {10046, EPFNOSUPPORT},
    {10047, EAFNOSUPPORT},
    {kSocketAddressInUse, EADDRINUSE},
    {10049, EADDRNOTAVAIL},
    {10050, ENETDOWN},
    {kSocketNetworkUnreachable, ENETUNREACH},
    {10052, ENETRESET},
    {kSocketConnectionAborted, ECONNABORTED},
    {kSocketConnectionReset, ECONNRESET},
    // A send after the peer's reset reports a broken pipe here.
    {kSocketConnectionReset, EPIPE},
    {10055, ENOBUFS},
    {10055, ENOMEM},
    {10056, EISCONN},
    {10057, ENOTCONN},
    {10058, ESHUTDOWN},
    {10059, ETOOMANYREFS},
    {kSocketTimedOut, ETIMEDOUT},
    {kSocketConnectionRefused, ECONNREFUSED},
    {10062, ELOOP},
    {10063, ENAMETOOLONG},
    {10064, EHOSTDOWN},
    {kSocketHostUnreachable, EHOSTUNREACH},
};

std::string Tidy(const char* systemText) {
    std::string text = Utf8ToCp1254(systemText);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

std::string ErrnoText(int errnoValue) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    return Tidy(strerror_r(errnoValue, buffer, sizeof buffer));
}

} // namespace

int SocketErrorCode(int errnoValue) {
    for (const CodeErrno& row : kTable)
        if (row.errnoValue == errnoValue)
            return row.code;
    return errnoValue;
}

int ConnectionErrorCode(int errnoValue) {
    return errnoValue == ETIMEDOUT ? kSocketConnectionAborted : SocketErrorCode(errnoValue);
}

std::string SocketErrorText(int code) {
    switch (code) {
    case kSocketEmptyHost:
        return "No host name given";
    case kSocketHostNotFound:
        return Tidy(gai_strerror(EAI_NONAME));
    case kSocketLookupFailed:
        return Tidy(gai_strerror(EAI_FAIL));
    default:
        break;
    }
    for (const CodeErrno& row : kTable)
        if (row.code == code)
            return ErrnoText(row.errnoValue);
    return ErrnoText(code);
}

std::string AsyncSocketErrorMessage(int code) {
    return "Asynchronous socket error " + std::to_string(code);
}

std::string SocketCallErrorMessage(int code, std::string_view api) {
    std::string message = "Windows socket error: " + SocketErrorText(code) + " (" +
                          std::to_string(code) + "), on API '";
    message += api;
    message += '\'';
    return message;
}

} // namespace km40r
