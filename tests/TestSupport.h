// SPDX-License-Identifier: Apache-2.0
#pragma once

// Helpers the tests share: a private port directory, loopback peers and an
// application's side of a virtual port.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/model/CPortRows.h"

namespace testsupport
{

// A fresh directory, removed with everything in it at the end.
class CTempDir
{
public:
    CTempDir()
    {
        char szTemplate[] = "/tmp/nimbrel-test-XXXXXX";
        const char* psz = mkdtemp(szTemplate);
        m_strPath = psz != nullptr ? psz : "";
    }
    ~CTempDir()
    {
        if (!m_strPath.empty())
            std::system(("rm -rf '" + m_strPath + "'").c_str());
    }
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

inline int ListenTcp(int* pnPort, int nBacklog = 16)
{
    int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int nOn = 1;
    setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(*pnPort));
    if (bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(h, nBacklog) != 0)
    {
        close(h);
        return -1;
    }
    socklen_t nLen = sizeof(addr);
    getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    *pnPort = ntohs(addr.sin_port);
    return h;
}

// A loopback port that nobody listens on.
inline int UnusedTcpPort()
{
    int nPort = 0;
    int h = ListenTcp(&nPort);
    close(h);
    return nPort;
}

inline bool WaitReadable(int h, int nMs)
{
    pollfd p{h, POLLIN, 0};
    return poll(&p, 1, nMs) > 0;
}

inline int AcceptWithin(int hListen, int nMs)
{
    if (!WaitReadable(hListen, nMs))
        return -1;
    return accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads until nWant bytes arrived or nMs passed without any.
inline std::string ReadFor(int h, size_t nWant, int nMs = 5000)
{
    std::string str;
    char buf[65536];
    while (str.size() < nWant && WaitReadable(h, nMs))
    {
        ssize_t n = read(h, buf, std::min(sizeof(buf), nWant - str.size()));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        str.append(buf, static_cast<size_t>(n));
    }
    return str;
}

inline bool WriteAll(int h, const std::string& str, int nMs = 5000)
{
    size_t nDone = 0;
    while (nDone < str.size())
    {
        ssize_t n = write(h, str.data() + nDone, str.size() - nDone);
        if (n > 0)
        {
            nDone += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{h, POLLOUT, 0};
        if (poll(&p, 1, nMs) <= 0)
            return false;
    }
    return true;
}

// Opens a virtual port as a serial program would: raw, 8N1.
inline int OpenApp(const std::string& strPath, int nFlags = 0)
{
    int h = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | nFlags);
    if (h < 0)
        return -1;
    termios t;
    if (tcgetattr(h, &t) == 0)
    {
        cfmakeraw(&t);
        tcsetattr(h, TCSANOW, &t);
    }
    return h;
}

inline std::string Pattern(size_t n, unsigned nSeed = 1)
{
    std::string str(n, '\0');
    unsigned x = nSeed;
    for (size_t i = 0; i < n; ++i)
    {
        x = x * 1103515245u + 12345u;
        str[i] = static_cast<char>(x >> 16);
    }
    return str;
}

// A rows listener that hands every changed cell to a function.
class CCellListener : public CPortRowsListener
{
public:
    using Fn = std::function<void(int nRow, int nCol, const std::string& strText)>;
    explicit CCellListener(Fn fn) : m_fn(std::move(fn)) {}
    void OnCellChanged(int nRow, int nCol, const std::string& strText) override { m_fn(nRow, nCol, strText); }

private:
    Fn m_fn;
};

}  // namespace testsupport

namespace testsupport
{

// Connects to a loopback TCP port; -1 when refused or timed out.
inline int ConnectTcp(int nPort, int nMs = 2000)
{
    int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 && errno != EINPROGRESS)
    {
        close(h);
        return -1;
    }
    pollfd p{h, POLLOUT, 0};
    int nError = 0;
    socklen_t nLen = sizeof(nError);
    if (poll(&p, 1, nMs) <= 0 || getsockopt(h, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0)
    {
        close(h);
        return -1;
    }
    fcntl(h, F_SETFL, 0);
    return h;
}

inline int LocalPortOf(int h)
{
    sockaddr_in addr{};
    socklen_t nLen = sizeof(addr);
    getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    return ntohs(addr.sin_port);
}

// A UDP socket bound to a loopback port (0: any).
inline int BindUdp(int* pnPort)
{
    int h = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(*pnPort));
    if (bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        close(h);
        return -1;
    }
    *pnPort = LocalPortOf(h);
    return h;
}

inline bool SendUdpTo(int h, int nPort, const std::string& str)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    return sendto(h, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
           static_cast<ssize_t>(str.size());
}

inline int GetIntOption(int h, int nLevel, int nName)
{
    int n = -1;
    socklen_t nLen = sizeof(n);
    getsockopt(h, nLevel, nName, &n, &nLen);
    return n;
}

}  // namespace testsupport

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

namespace testsupport
{

// A child program with pipes to its standard input and output (standard
// error goes to /dev/null); killed when the object goes.
class CChild
{
public:
    explicit CChild(const std::vector<std::string>& vecArgs)
    {
        int fdIn[2];
        int fdOut[2];
        if (pipe2(fdIn, O_CLOEXEC) != 0 || pipe2(fdOut, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fdIn[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fdOut[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> vecArgv;
        for (const std::string& str : vecArgs)
            vecArgv.push_back(const_cast<char*>(str.c_str()));
        vecArgv.push_back(nullptr);
        if (posix_spawnp(&m_pid, vecArgv[0], &actions, nullptr, vecArgv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fdIn[0]);
        close(fdOut[1]);
        m_hIn = fdIn[1];
        m_hOut = fdOut[0];
    }
    ~CChild()
    {
        if (m_pid > 0)
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_hIn >= 0)
            close(m_hIn);
        if (m_hOut >= 0)
            close(m_hOut);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Running() const { return m_pid > 0; }
    int In() const { return m_hIn; }
    int Out() const { return m_hOut; }

private:
    pid_t m_pid = -1;
    int m_hIn = -1;
    int m_hOut = -1;
};

// Runs a command to its end; its exit status (-1 when it could not run).
inline int RunCommand(const std::vector<std::string>& vecArgs)
{
    std::vector<char*> vecArgv;
    for (const std::string& str : vecArgs)
        vecArgv.push_back(const_cast<char*>(str.c_str()));
    vecArgv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int nSpawn = posix_spawnp(&pid, vecArgv[0], &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nSpawn != 0)
        return -1;
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// A loopback listener whose accept queue is full: a further connect to it
// hangs (the kernel drops its SYNs), as with a peer that never answers, and
// the traffic stays on loopback.
class CFullListener
{
public:
    CFullListener()
    {
        m_hListen = ListenTcp(&m_nPort, 0);
        for (int i = 0; i < 16 && m_hListen >= 0; ++i)
        {
            const int h = ConnectTcp(m_nPort, 300);
            if (h < 0)
            {
                m_bFull = true;
                break;
            }
            m_vecFill.push_back(h);
        }
    }
    ~CFullListener()
    {
        for (int h : m_vecFill)
            close(h);
        if (m_hListen >= 0)
            close(m_hListen);
    }
    CFullListener(const CFullListener&) = delete;
    CFullListener& operator=(const CFullListener&) = delete;

    bool IsFull() const { return m_bFull; }
    int Port() const { return m_nPort; }

private:
    int m_hListen = -1;
    int m_nPort = 0;
    bool m_bFull = false;
    std::vector<int> m_vecFill;
};

// A self-signed certificate and its key, as a TLS server port uses them.
inline bool MakeKeyPair(const std::string& strCert, const std::string& strKey)
{
    return RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", strKey, "-out", strCert, "-days", "2", "-subj", "/CN=nimbrel-test"}) == 0;
}

}  // namespace testsupport
