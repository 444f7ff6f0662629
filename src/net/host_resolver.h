// Name resolution for the client socket.
//
// Principles of operation: a resolver turns a host name into one IPv4
// address without blocking the calling thread. It is a seam: the client
// socket takes any function of the THostResolver shape, so tests put in a
// resolver that answers from a table or fails, and no name ever reaches the
// machine's DNS server from a test. The system resolver answers "localhost"
// itself (127.0.0.1, as the name always means this machine) and asks the
// system (getaddrinfo, on Qt's lookup thread) for any other name.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

namespace km40r {

// The outcome of a lookup: error 0 and the IPv4 address in host byte order,
// or a socket error code (kSocketHostNotFound, kSocketLookupFailed) and 0.
using TResolveDone = std::function<void(std::uint32_t address, int error)>;

// Starts resolving `name` (code page 1254 bytes) and returns at once. Calls
// `done` exactly once, later (never inside the call), on the calling thread,
// unless `context` is destroyed first; then `done` is never called.
using THostResolver =
    std::function<void(const std::string& name, QObject* context, TResolveDone done)>;

// The resolver of the system (see above).
THostResolver SystemHostResolver();

} // namespace km40r
