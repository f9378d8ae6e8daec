// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <sys/socket.h>

// Finds a peer's address for one worker without blocking it: a literal
// address (dotted IPv4 as inet_aton reads it, IPv6, also in brackets) at
// once, a host name on a short-lived thread of its own, which the worker
// polls once a cycle and can abandon at any time (the thread then finishes
// alone and throws its answer away). Not the C library's getaddrinfo_a:
// its threads are started behind the sanitizers' back.
//
// Used by one worker thread (with its lock held), or its owner while the
// worker does not run.
class CResolver
{
public:
    static constexpr int RESOLVE_BUSY = 0;
    static constexpr int RESOLVE_DONE = 1;
    static constexpr int RESOLVE_FAILED = 2;

    CResolver() = default;
    ~CResolver();

    CResolver(const CResolver&) = delete;
    CResolver& operator=(const CResolver&) = delete;

    // Starts finding strHost for sockets of nSockType (SOCK_STREAM or
    // SOCK_DGRAM) towards nPort; a lookup still under way is abandoned.
    void Start(const std::string& strHost, int nPort, int nSockType);
    // RESOLVE_BUSY while a name is being looked up; RESOLVE_DONE with the
    // address in GetAddress; RESOLVE_FAILED with pError (when given) set to
    // "resolve <host>: <the resolver's message>".
    int Poll(std::string* pError);
    bool IsBusy() const { return m_pRequest != nullptr; }
    // Abandons a lookup under way.
    void Cancel();

    // The address found by the last RESOLVE_DONE.
    const struct sockaddr* GetAddress() const { return reinterpret_cast<const struct sockaddr*>(&m_addr); }
    socklen_t GetLength() const { return m_nLength; }
    int GetFamily() const { return m_addr.ss_family; }

    // Fills pAddr with a literal address and port; false when strHost is
    // no literal address (a name, or nothing valid).
    static bool ParseLiteral(const std::string& strHost, int nPort, struct sockaddr_storage* pAddr,
                             socklen_t* pLength);
    // "a.b.c.d:port" for IPv4 (also an IPv4 address mapped into IPv6),
    // "[v6]:port" for IPv6.
    static std::string AddressText(const struct sockaddr* pAddr);

    // One lookup, shared by the worker and the lookup's thread.
    struct SRequest;

private:
    std::shared_ptr<SRequest> m_pRequest;
    int m_nResult = RESOLVE_FAILED;
    std::string m_strError;
    struct sockaddr_storage m_addr = {};
    socklen_t m_nLength = 0;
};
