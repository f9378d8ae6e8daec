// SPDX-License-Identifier: Apache-2.0
// A loopback echo peer for the measurements in bench/: whatever arrives goes
// straight back to where it came from.
//
//   nimbrel_echo_peer tcp-listen PORT            accepts any number of connections
//   nimbrel_echo_peer tcp-connect PORT [COUNT]   dials 127.0.0.1:PORT COUNT times
//   nimbrel_echo_peer udp PORT                   returns each datagram to its sender
//   option: --max-seconds N (default 600), after which it ends by itself
//
// PORT 0 takes a free port (tcp-listen, udp). Once ready it prints one line,
// "listening port=N" or "connected port=N count=N". Ends on SIGTERM/SIGINT.
//
// One thread and epoll: a connection whose echo cannot be written at once is
// not read again until it has been, so a slow reader slows its own writer
// and nobody else.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/BenchCommon.h"

namespace
{

constexpr size_t BUFFER_SIZE = 65536;
// How often the stop flag and the time limit are looked at.
constexpr int TICK_MS = 200;

struct SConn
{
    int h = -1;
    std::unique_ptr<unsigned char[]> buf{new unsigned char[BUFFER_SIZE]};
    size_t nBegin = 0;  // the part of buf still to be written back
    size_t nEnd = 0;
};

sockaddr_in Loopback(int nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    return addr;
}

int BoundPort(int h)
{
    sockaddr_in addr{};
    socklen_t nLen = sizeof(addr);
    if (getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
        return -1;
    return ntohs(addr.sin_port);
}

void SetNoDelay(int h)
{
    int nOn = 1;
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
}

class CEchoLoop
{
public:
    CEchoLoop() : m_hEpoll(epoll_create1(EPOLL_CLOEXEC)) {}
    ~CEchoLoop()
    {
        for (auto& [h, pConn] : m_conns)
            close(h);
        if (m_hListen >= 0)
            close(m_hListen);
        if (m_hEpoll >= 0)
            close(m_hEpoll);
    }
    CEchoLoop(const CEchoLoop&) = delete;
    CEchoLoop& operator=(const CEchoLoop&) = delete;

    bool IsUsable() const { return m_hEpoll >= 0; }

    bool SetListener(int h)
    {
        m_hListen = h;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = h;
        return epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, h, &ev) == 0;
    }

    bool AddConnection(int h)
    {
        fcntl(h, F_SETFL, fcntl(h, F_GETFL) | O_NONBLOCK);
        SetNoDelay(h);
        auto pConn = std::make_unique<SConn>();
        pConn->h = h;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = h;
        if (epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, h, &ev) != 0)
        {
            close(h);
            return false;
        }
        m_conns[h] = std::move(pConn);
        return true;
    }

    // Until a stop signal or the deadline.
    void Run(double tDeadline)
    {
        epoll_event events[64];
        while (!bench::g_bStop && bench::MonoSeconds() < tDeadline)
        {
            const int n = epoll_wait(m_hEpoll, events, 64, TICK_MS);
            for (int k = 0; k < n; ++k)
            {
                const int h = events[k].data.fd;
                if (h == m_hListen)
                    AcceptAll();
                else
                    Serve(h, events[k].events);
            }
        }
    }

private:
    void AcceptAll()
    {
        for (;;)
        {
            const int h = accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (h < 0)
                return;
            AddConnection(h);
        }
    }

    void Drop(int h)
    {
        epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, h, nullptr);
        close(h);
        m_conns.erase(h);
    }

    void Watch(int h, uint32_t nEvents)
    {
        epoll_event ev{};
        ev.events = nEvents;
        ev.data.fd = h;
        epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, h, &ev);
    }

    // Writes back what is pending; false when the connection is gone.
    static bool Flush(SConn& c)
    {
        while (c.nBegin < c.nEnd)
        {
            const ssize_t n = send(c.h, c.buf.get() + c.nBegin, c.nEnd - c.nBegin, MSG_NOSIGNAL);
            if (n > 0)
            {
                c.nBegin += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        c.nBegin = c.nEnd = 0;
        return true;
    }

    void Serve(int h, uint32_t nEvents)
    {
        auto it = m_conns.find(h);
        if (it == m_conns.end())
            return;
        SConn& c = *it->second;
        if (c.nBegin < c.nEnd)
        {
            // Waiting for room: only the write side matters now.
            if (!Flush(c))
                return Drop(h);
            if (c.nBegin == c.nEnd)
                Watch(h, EPOLLIN | EPOLLRDHUP);
            return;
        }
        if ((nEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0)
            return;
        const ssize_t n = recv(h, c.buf.get(), BUFFER_SIZE, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return Drop(h);
        if (n < 0)
            return;
        c.nBegin = 0;
        c.nEnd = static_cast<size_t>(n);
        if (!Flush(c))
            return Drop(h);
        if (c.nBegin < c.nEnd)
            Watch(h, EPOLLOUT);
    }

    int m_hEpoll = -1;
    int m_hListen = -1;
    std::map<int, std::unique_ptr<SConn>> m_conns;
};

int RunTcpListen(int nPort, double tDeadline)
{
    const int h = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int nOn = 1;
    setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    sockaddr_in addr = Loopback(nPort);
    if (h < 0 || bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(h, 1024) != 0)
    {
        std::fprintf(stderr, "nimbrel_echo_peer: cannot listen on 127.0.0.1:%d: %s\n", nPort, std::strerror(errno));
        return 1;
    }
    CEchoLoop loop;
    if (!loop.IsUsable() || !loop.SetListener(h))
        return 1;
    std::printf("listening port=%d\n", BoundPort(h));
    std::fflush(stdout);
    loop.Run(tDeadline);
    return 0;
}

int RunTcpConnect(int nPort, int nCount, double tDeadline)
{
    CEchoLoop loop;
    if (!loop.IsUsable())
        return 1;
    for (int k = 0; k < nCount; ++k)
    {
        // A refused dial is tried again until the server port is up.
        for (;;)
        {
            if (bench::g_bStop || bench::MonoSeconds() >= tDeadline)
                return 0;
            const int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr = Loopback(nPort);
            if (h >= 0 && connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
            {
                loop.AddConnection(h);
                break;
            }
            if (h >= 0)
                close(h);
            usleep(5000);
        }
    }
    std::printf("connected port=%d count=%d\n", nPort, nCount);
    std::fflush(stdout);
    loop.Run(tDeadline);
    return 0;
}

int RunUdp(int nPort, double tDeadline)
{
    const int h = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(nPort);
    if (h < 0 || bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        std::fprintf(stderr, "nimbrel_echo_peer: cannot bind 127.0.0.1:%d/udp: %s\n", nPort, std::strerror(errno));
        return 1;
    }
    std::printf("listening port=%d\n", BoundPort(h));
    std::fflush(stdout);
    std::vector<unsigned char> buf(65536);
    while (!bench::g_bStop && bench::MonoSeconds() < tDeadline)
    {
        pollfd p{h, POLLIN, 0};
        if (poll(&p, 1, TICK_MS) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t nLen = sizeof(from);
        const ssize_t n = recvfrom(h, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &nLen);
        if (n >= 0)
            sendto(h, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), nLen);
    }
    close(h);
    return 0;
}

int Usage()
{
    std::fputs("usage: nimbrel_echo_peer tcp-listen PORT | tcp-connect PORT [COUNT] | udp PORT [--max-seconds N]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int nMaxSeconds = 600;
    const std::vector<std::string> args = bench::TakeArgs(argc, argv, &nMaxSeconds);
    if (args.size() < 2 || nMaxSeconds <= 0)
        return Usage();
    const long long nPort = bench::ParseCount(args[1]);
    if (nPort < 0 || nPort > 65535)
        return Usage();
    bench::InstallStopSignals();
    const double tDeadline = bench::MonoSeconds() + nMaxSeconds;
    const std::string& strMode = args[0];
    if (strMode == "tcp-listen" && args.size() == 2)
        return RunTcpListen(static_cast<int>(nPort), tDeadline);
    if (strMode == "udp" && args.size() == 2)
        return RunUdp(static_cast<int>(nPort), tDeadline);
    if (strMode == "tcp-connect" && args.size() <= 3 && nPort > 0)
    {
        const long long nCount = args.size() == 3 ? bench::ParseCount(args[2]) : 1;
        if (nCount < 1 || nCount > 100000)
            return Usage();
        return RunTcpConnect(static_cast<int>(nPort), static_cast<int>(nCount), tDeadline);
    }
    return Usage();
}
