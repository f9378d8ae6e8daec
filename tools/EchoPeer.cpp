// SPDX-License-Identifier: Apache-2.0
// A loopback echo peer for the measurements in bench/: whatever arrives goes
// straight back to where it came from.
//
//   nimbrel_echo_peer tcp-listen PORT            accepts any number of connections
//   nimbrel_echo_peer tcp-connect PORT [COUNT]   dials 127.0.0.1:PORT COUNT times
//   nimbrel_echo_peer udp PORT                   returns each datagram to its sender
//   option: --max-seconds N (default 600), after which it ends by itself
//   option: --bulk (tcp-listen, tcp-connect): no echo; each connection takes
//           requests, one a line, for transfers in one direction:
//             ping TOKEN   answered "pong TOKEN"
//             sink N       the next N bytes are checked against the pattern
//                          (tools/BenchCommon.h, from offset 0), then
//                          answered "done N" or "fail near=OFFSET"
//             source N     N bytes of the pattern are sent, from offset 0
//           Each sink and source is also written to stdout ("sink bytes=N
//           verified=1", "sink bytes=N mismatch_at=OFFSET", "source bytes=N").
//
// PORT 0 takes a free port (tcp-listen, udp). Once ready it prints one line,
// "listening port=N" or "connected port=N count=N". Ends on SIGTERM/SIGINT.
//
// One thread and epoll: a connection whose echo (or reply, or source) cannot
// be written at once is not read again until it has been, so a slow reader
// slows its own writer and nobody else.

#include <algorithm>
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
    size_t nBegin = 0;  // the part of buf still to be written back (bulk: still to be taken in)
    size_t nEnd = 0;
    // Bulk requests only.
    std::string strLine;    // a request line being gathered
    std::string strReply;   // replies not yet written
    uint64_t nSinkLeft = 0;
    uint64_t nSinkDone = 0;
    long long nSinkBad = -1;  // the first offset that did not match
    uint64_t nSourceLeft = 0;
    uint64_t nSourceDone = 0;
    uint32_t nWatched = EPOLLIN | EPOLLRDHUP;
};

// A request line longer than this is not one.
constexpr size_t MAX_LINE = 200;
// Reads of one connection before the others get a turn.
constexpr int BULK_READS_PER_TURN = 16;

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
    explicit CEchoLoop(bool bBulk) : m_hEpoll(epoll_create1(EPOLL_CLOEXEC)), m_bBulk(bBulk) {}
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
        if (m_bBulk)
            return ServeBulk(c);
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

    static void Log(const std::string& str)
    {
        std::printf("%s\n", str.c_str());
        std::fflush(stdout);
    }

    void WatchBulk(SConn& c, uint32_t nEvents)
    {
        if (c.nWatched != nEvents)
        {
            Watch(c.h, nEvents);
            c.nWatched = nEvents;
        }
    }

    // Replies first, then the source; true while the connection lives.
    static bool FlushBulk(SConn& c)
    {
        while (!c.strReply.empty())
        {
            const ssize_t n = send(c.h, c.strReply.data(), c.strReply.size(), MSG_NOSIGNAL);
            if (n > 0)
                c.strReply.erase(0, static_cast<size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        while (c.nSourceLeft > 0)
        {
            const size_t nWant = static_cast<size_t>(std::min<uint64_t>(c.nSourceLeft, BUFFER_SIZE));
            const ssize_t n = send(c.h, bench::PatternAt(c.nSourceDone), std::min(nWant, bench::PATTERN_PERIOD),
                                   MSG_NOSIGNAL);
            if (n > 0)
            {
                c.nSourceDone += static_cast<uint64_t>(n);
                c.nSourceLeft -= static_cast<uint64_t>(n);
                if (c.nSourceLeft == 0)
                    Log("source bytes=" + std::to_string(c.nSourceDone));
            }
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return true;
    }

    // One request; false when it is none.
    static bool Request(SConn& c, const std::string& strLine)
    {
        const size_t nSpace = strLine.find(' ');
        const std::string strVerb = strLine.substr(0, nSpace);
        const std::string strArg = nSpace == std::string::npos ? "" : strLine.substr(nSpace + 1);
        if (strVerb == "ping" && !strArg.empty())
        {
            c.strReply += "pong " + strArg + "\n";
            return true;
        }
        const long long nCount = bench::ParseCount(strArg);
        if (nCount < 1)
            return false;
        if (strVerb == "sink")
        {
            c.nSinkLeft = static_cast<uint64_t>(nCount);
            c.nSinkDone = 0;
            c.nSinkBad = -1;
            return true;
        }
        if (strVerb == "source")
        {
            c.nSourceLeft = static_cast<uint64_t>(nCount);
            c.nSourceDone = 0;
            return true;
        }
        return false;
    }

    // Takes in what was read, up to a request that has something to send;
    // false on a request that is none.
    static bool TakeIn(SConn& c)
    {
        while (c.nBegin < c.nEnd && c.strReply.empty() && c.nSourceLeft == 0)
        {
            const unsigned char* p = c.buf.get() + c.nBegin;
            const size_t nHave = c.nEnd - c.nBegin;
            if (c.nSinkLeft > 0)
            {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(nHave, c.nSinkLeft));
                if (c.nSinkBad < 0)
                {
                    const long long nBad = bench::PatternMismatch(p, n, c.nSinkDone);
                    if (nBad >= 0)
                        c.nSinkBad = static_cast<long long>(c.nSinkDone) + nBad;
                }
                c.nBegin += n;
                c.nSinkDone += n;
                c.nSinkLeft -= n;
                if (c.nSinkLeft == 0)
                {
                    const std::string strDone = std::to_string(c.nSinkDone);
                    if (c.nSinkBad < 0)
                    {
                        c.strReply += "done " + strDone + "\n";
                        Log("sink bytes=" + strDone + " verified=1");
                    }
                    else
                    {
                        c.strReply += "fail near=" + std::to_string(c.nSinkBad) + "\n";
                        Log("sink bytes=" + strDone + " mismatch_at=" + std::to_string(c.nSinkBad));
                    }
                }
                continue;
            }
            const char ch = static_cast<char>(*p);
            ++c.nBegin;
            if (ch != '\n')
            {
                c.strLine.push_back(ch);
                if (c.strLine.size() > MAX_LINE)
                {
                    Log("error bulk line-too-long");
                    return false;
                }
                continue;
            }
            const std::string strLine = std::move(c.strLine);
            c.strLine.clear();
            if (!Request(c, strLine))
            {
                Log("error bulk request=\"" + strLine + "\"");
                return false;
            }
        }
        return true;
    }

    void ServeBulk(SConn& c)
    {
        const int h = c.h;
        for (int nReads = 0;;)
        {
            if (!FlushBulk(c))
                return Drop(h);
            if (!c.strReply.empty() || c.nSourceLeft > 0)
                return WatchBulk(c, EPOLLOUT);
            if (c.nBegin < c.nEnd)
            {
                if (!TakeIn(c))
                    return Drop(h);
                continue;
            }
            // Level-triggered: what is left is served on the next turn.
            if (nReads++ == BULK_READS_PER_TURN)
                return WatchBulk(c, EPOLLIN | EPOLLRDHUP);
            const ssize_t n = recv(h, c.buf.get(), BUFFER_SIZE, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return WatchBulk(c, EPOLLIN | EPOLLRDHUP);
            if (n <= 0)
                return Drop(h);
            c.nBegin = 0;
            c.nEnd = static_cast<size_t>(n);
        }
    }

    int m_hEpoll = -1;
    bool m_bBulk = false;
    int m_hListen = -1;
    std::map<int, std::unique_ptr<SConn>> m_conns;
};

int RunTcpListen(int nPort, bool bBulk, double tDeadline)
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
    CEchoLoop loop(bBulk);
    if (!loop.IsUsable() || !loop.SetListener(h))
        return 1;
    std::printf("listening port=%d\n", BoundPort(h));
    std::fflush(stdout);
    loop.Run(tDeadline);
    return 0;
}

int RunTcpConnect(int nPort, int nCount, bool bBulk, double tDeadline)
{
    CEchoLoop loop(bBulk);
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
    std::fputs("usage: nimbrel_echo_peer tcp-listen PORT | tcp-connect PORT [COUNT] | udp PORT [--max-seconds N]\n"
               "       (tcp-listen, tcp-connect) --bulk: ping/sink/source requests instead of the echo\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int nMaxSeconds = 600;
    std::vector<std::string> args = bench::TakeArgs(argc, argv, &nMaxSeconds);
    const auto itBulk = std::find(args.begin(), args.end(), "--bulk");
    const bool bBulk = itBulk != args.end();
    if (bBulk)
        args.erase(itBulk);
    if (args.size() < 2 || nMaxSeconds <= 0)
        return Usage();
    const long long nPort = bench::ParseCount(args[1]);
    if (nPort < 0 || nPort > 65535)
        return Usage();
    bench::InstallStopSignals();
    const double tDeadline = bench::MonoSeconds() + nMaxSeconds;
    const std::string& strMode = args[0];
    if (strMode == "tcp-listen" && args.size() == 2)
        return RunTcpListen(static_cast<int>(nPort), bBulk, tDeadline);
    if (strMode == "udp" && args.size() == 2 && !bBulk)
        return RunUdp(static_cast<int>(nPort), tDeadline);
    if (strMode == "tcp-connect" && args.size() <= 3 && nPort > 0)
    {
        const long long nCount = args.size() == 3 ? bench::ParseCount(args[2]) : 1;
        if (nCount < 1 || nCount > 100000)
            return Usage();
        return RunTcpConnect(static_cast<int>(nPort), static_cast<int>(nCount), bBulk, tDeadline);
    }
    return Usage();
}
