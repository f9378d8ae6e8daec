// SPDX-License-Identifier: Apache-2.0
// Soak run of nimbreld over loopback, run on demand by bench/soak.sh.
//
// Starts nimbreld with a private settings file, port directory and lock file
// on N ports (a third TCP client ports, each dialling its own listener here;
// a third TCP server ports, dialled from here; a third UDP ports, talking to
// a datagram socket here). Then, for the given minutes, an "application" per
// port opens the port at random, writes random-sized pieces of a framed,
// checksummed stream, reads, pauses reading, and closes at random, sometimes
// at once, sometimes after its last write (nothing may then be lost), and
// sometimes gracefully (it stops writing and waits until the peer, and for
// an echo also itself, has everything). Some re-opens follow a close within
// milliseconds, and once a minute a client port gets a slow reader whose
// peer resets just before the application closes. The client ports'
// listeners echo; the server ports' and UDP ports' peers send streams of
// their own. Peers drop their connections at random and come back. Every
// byte that arrives is checked (see SoakFrames.h); only the cut at a drop or
// a close may lose bytes.
//
// nimbreld's descriptors, threads and resident memory are sampled once every
// port is back to idle after a short warm-up, and again at the end once
// everything is idle and quiet; growth beyond a small tolerance fails the
// run, as do a line nimbreld is not expected to print, anything on its
// stderr, its death, a port that does not return to idle, or an open or
// close that nimbreld takes more than 5 s to show.
//
// Usage: nimbrel_soak_driver --nimbreld PATH [--minutes M] [--ports N]
//                            [--seed S] [--rate F] [--keep]

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tools/SoakFrames.h"

namespace
{

using soak::CFrameSource;
using soak::CRng;
using soak::CStreamCheck;
using soak::SFrame;

// ---------------------------------------------------------------- basics

double g_dT0 = 0.0;
volatile sig_atomic_t g_bInterrupted = 0;
FILE* g_pLog = nullptr;
int g_nFailures = 0;
// When nimbreld last stalled: what fails right after is likely its fallout.
double g_tStall = -1e9;
constexpr int MAX_SHOWN_FAILURES = 40;
// The run gives up early past this many failures.
constexpr int MAX_FAILURES = 200;

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Elapsed()
{
    return Now() - g_dT0;
}

std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* pszFormat, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(buf, sizeof(buf), pszFormat, args);
    va_end(args);
    return buf;
}

void Log(const std::string& str)
{
    if (g_pLog != nullptr)
        fprintf(g_pLog, "%9.3f %s\n", Elapsed(), str.c_str());
}

void Say(const std::string& str)
{
    printf("[%6.1fs] %s\n", Elapsed(), str.c_str());
    fflush(stdout);
    Log("soak: " + str);
}

void Fail(const std::string& strWhy)
{
    ++g_nFailures;
    const std::string str = strWhy + (Now() - g_tStall < 3.0 ? " [right after a stall]" : "");
    Log("FAIL " + str);
    if (g_nFailures <= MAX_SHOWN_FAILURES)
        fprintf(stderr, "[%6.1fs] FAIL %s\n", Elapsed(), str.c_str());
    else if (g_nFailures == MAX_SHOWN_FAILURES + 1)
        fprintf(stderr, "[%6.1fs] (further failures only in the log)\n", Elapsed());
    fflush(stderr);
}

std::string Mb(uint64_t n)
{
    return Format("%.1f MB", static_cast<double>(n) / 1e6);
}

void OnSignal(int)
{
    g_bInterrupted = 1;
}

void CloseFd(int& h)
{
    if (h >= 0)
    {
        close(h);
        h = -1;
    }
}

sockaddr_in Loopback(int nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    return addr;
}

// Bytes waiting to go out, with the ends of the frames among them so that
// the last frame handed to the kernel whole is known.
struct SOutBuf
{
    std::vector<uint8_t> data;
    size_t nOff = 0;
    uint64_t nWritten = 0;
    uint64_t nAppended = 0;
    std::deque<std::pair<uint64_t, uint32_t>> ends;  // (end offset, seq)
    bool bAnyDone = false;
    uint32_t nLastDone = 0;

    size_t Pending() const { return data.size() - nOff; }
    const uint8_t* Head() const { return data.data() + nOff; }
    void Appended(size_t nBytes, bool bFrame, uint32_t nSeq)
    {
        nAppended += nBytes;
        if (bFrame)
            ends.emplace_back(nAppended, nSeq);
    }
    void Consume(size_t n)
    {
        nOff += n;
        nWritten += n;
        while (!ends.empty() && ends.front().first <= nWritten)
        {
            nLastDone = ends.front().second;
            bAnyDone = true;
            ends.pop_front();
        }
        if (nOff == data.size())
        {
            data.clear();
            nOff = 0;
        }
        else if (nOff > 65536)
        {
            data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(nOff));
            nOff = 0;
        }
    }
    void Clear()
    {
        nAppended = nWritten;
        data.clear();
        nOff = 0;
        ends.clear();
    }
};

// How far one epoch of a stream has arrived, gathered over the spans that
// carried it.
struct SProg
{
    uint32_t nFirst = 0;
    uint32_t nLast = 0;
    uint64_t nCount = 0;
    bool bBroken = false;
};

// 0: in order; 1: a new epoch that did not begin at 0; 2: a gap.
int UpdateProg(std::map<uint32_t, SProg>& map, const SFrame& f)
{
    auto it = map.find(f.nEpoch);
    if (it == map.end())
    {
        Log(Format("port index %u: epoch %u first seen at seq %u", f.nPort, f.nEpoch, f.nSeq));
        SProg p;
        p.nFirst = p.nLast = f.nSeq;
        p.nCount = 1;
        map.emplace(f.nEpoch, p);
        while (map.size() > 6)
            map.erase(map.begin());
        return f.nSeq == 0 ? 0 : 1;
    }
    SProg& p = it->second;
    const bool bNext = f.nSeq == p.nLast + 1;
    if (bNext)
        ++p.nCount;
    else
        p.bBroken = true;
    p.nLast = std::max(p.nLast, f.nSeq);
    return bNext ? 0 : 2;
}

bool ProgComplete(const std::map<uint32_t, SProg>& map, uint32_t nEpoch, uint32_t nFrames)
{
    if (nFrames == 0)
        return true;
    auto it = map.find(nEpoch);
    return it != map.end() && !it->second.bBroken && it->second.nFirst == 0 && it->second.nLast == nFrames - 1 &&
           it->second.nCount == nFrames;
}

std::string ProgText(const std::map<uint32_t, SProg>& map, uint32_t nEpoch)
{
    auto it = map.find(nEpoch);
    if (it == map.end())
        return "nothing of it";
    return Format("seq %u..%u, %" PRIu64 " frames%s", it->second.nFirst, it->second.nLast, it->second.nCount,
                  it->second.bBroken ? ", with a gap" : "");
}

// ---------------------------------------------------------------- ports

enum class EMode
{
    Client,
    Server,
    Udp
};

const char* ModeName(EMode mode)
{
    return mode == EMode::Client ? "client" : mode == EMode::Server ? "server" : "udp";
}

enum class EPhase
{
    Setup,
    Warmup,
    Run,
    Quiesce,     // applications finish gracefully, peers stop sending
    Drain,       // server ports: an application reads what their peers sent
    Disconnect,  // peers hang up
    Idle,        // wait for every row to be idle and the output to be quiet
    Stopping
};

enum class EApp
{
    Closed,
    Open,
    Flushing,  // graceful close: no more new data, writing what is pending
    Waiting,     // graceful close: waiting for the other ends to have it all
    AfterClose,  // closed right after its last write: the peer must get it all
    Draining     // end of the run: reading a server port's backlog
};

enum class EClose
{
    Abrupt,    // close at once; what nimbreld has not sent yet may be lost
    Graceful,  // write everything, wait until the other ends have it, close
    Flush      // write everything, close at once; nothing may be lost
};

const char* CloseName(EClose close)
{
    return close == EClose::Abrupt ? "abrupt" : close == EClose::Graceful ? "graceful" : "write-then-close";
}

struct SConn
{
    int h = -1;
    bool bConnecting = false;
    bool bDead = false;
    uint32_t nEpoch = 0;       // server peers: the epoch of the stream they send
    bool bHaveStart = false;   // the first whole frame was seen
    CStreamCheck rx;           // the application's stream as it arrives here
    SOutBuf out;
};

struct SStats
{
    uint64_t nA2PBytes[3] = {};
    uint64_t nP2ABytes[3] = {};
    uint64_t nA2PFrames[3] = {};
    uint64_t nP2AFrames[3] = {};
    uint64_t nOpens[3] = {};
    uint64_t nAbrupt[3] = {};
    uint64_t nGracefulStrict[3] = {};
    uint64_t nGracefulLenient[3] = {};
    uint64_t nFlushStrict[3] = {};
    uint64_t nFlushLenient[3] = {};
    uint64_t nIncidents = 0;
    uint64_t nQuickReopens = 0;
    uint64_t nStrictFrames = 0;  // frames checked against their open's whole stream
    uint64_t nDrops[3] = {};
    uint64_t nBridgeHangups[3] = {};
    uint64_t nAccepts = 0;
    uint64_t nDials = 0;
    uint64_t nRefused = 0;
    uint64_t nUdpOverflowA2P = 0;
    uint64_t nUdpOverflowP2A = 0;
    uint64_t nUdpStaleGaps = 0;
    uint64_t nReadPauses = 0;
    uint64_t nLines = 0;
    // How long nimbreld took to show an open or close (its BaudRate line).
    uint64_t nReactions = 0;
    uint64_t nSlowReactions = 0;  // over SLOW_REACTION
    double dMaxReaction = 0;
    std::string strMaxReaction;
};

constexpr double SLOW_REACTION = 1.0;
// An open or close that takes longer than this to show is a failure: every
// port's events wait behind it.
constexpr double MAX_REACTION = 5.0;

SStats g_stats;

int ModeIndex(EMode mode)
{
    return static_cast<int>(mode);
}

struct SPort
{
    int nIndex = 0;
    int nCom = 0;
    EMode mode = EMode::Client;
    bool bEcho = false;
    int nPeerPort = 0;   // client: our listener; udp: our datagram socket
    int nLocalPort = 0;  // server: nimbreld listens; udp: nimbreld binds
    std::string strLink;
    std::string strName;

    std::map<std::string, std::string> row;
    std::map<std::string, std::string> idleRow;
    bool bCreated = false;

    // The application.
    int hApp = -1;
    EApp app = EApp::Closed;
    uint32_t nAppEpoch = 0;
    CFrameSource appSrc;
    SOutBuf appOut;
    CStreamCheck appRx;
    double tNextOpen = 0;
    double tClose = 0;
    double tNextWrite = 0;
    double tReadPausedUntil = 0;
    double tStateSince = 0;
    double tDeadline = 0;
    EClose close = EClose::Abrupt;
    // Scripted: a slow reader whose peer resets, then the application closes.
    bool bIncidentPending = false;
    bool bIncident = false;
    bool bIncidentReset = false;
    uint64_t nDropGenAtOpen = 0;
    bool bP2AOverflow = false;   // this open, UDP: nimbreld's socket overflowed
    bool bA2POverflow = false;   // this open, UDP: our socket overflowed
    // What the application must have read before a graceful close.
    bool bPeerTarget = false;
    bool bPeerTargetStrict = false;
    uint32_t nPeerTargetEpoch = 0;
    uint32_t nPeerTargetSeq = 0;
    uint64_t nBridgeDropsSeen = 0;
    bool bDrained = false;
    int nReactionPending = 0;  // 1: open, 2: close, not shown yet
    double tReactionFrom = 0;

    // The peer.
    int hListen = -1;
    int hUdp = -1;
    std::vector<std::unique_ptr<SConn>> conns;
    CFrameSource peerSrc;
    uint32_t nConnGen = 0;
    // Counts the peer's drops (and UDP rebinds): data in flight then may be
    // lost. A client port's hang-up after its application closed is not
    // one: everything sent before it must arrive.
    uint64_t nDropGen = 0;
    uint32_t nFailedEpoch = 0;  // reported already: no more failures for it
    // A TCP drop nimbreld has not shown yet: it may still be sending into the
    // dead connection (it cannot see a close queued behind unread bytes).
    bool bDropUnseen = false;
    bool bDropUnseenAtOpen = false;
    double tOpen = 0;
    double tNextDrop = 0;
    double tRedial = 0;
    double tNextPeerSend = 0;
    std::set<std::pair<uint32_t, uint32_t>> connStarts;  // echo: first frame per connection
    CStreamCheck udpRx;
    uint64_t nOvfl = 0;
    uint64_t nOvflChecked = 0;
    bool bUdpBound = false;
    uint32_t nUdpBoundSeq = 0;     // the peer's next seq when nimbreld last showed the bind
    uint32_t nUdpUnboundSeq = 0;   // ... and when it last showed the port unbound
    bool bUdpSentAny = false;
    uint32_t nUdpLastSent = 0;

    std::map<uint32_t, SProg> a2pProg;   // the application's stream at the peer
    std::map<uint32_t, SProg> echoProg;  // and back at the application

    SPort(int nIdx, EMode m)
        : nIndex(nIdx),
          nCom(nIdx + 1),
          mode(m),
          appSrc(soak::KIND_APP, static_cast<uint8_t>(nIdx)),
          peerSrc(soak::KIND_PEER, static_cast<uint8_t>(nIdx))
    {
        strName = "COM" + std::to_string(nCom);
    }
};

void NoteDrop(SPort& port)
{
    ++port.nDropGen;
    if (port.mode != EMode::Udp)
        port.bDropUnseen = true;
}

// Whether a drop may have cut what the application wrote since its open:
// one since the open, or one before it that nimbreld had not shown yet.
bool DroppedSinceOpen(const SPort& port)
{
    return port.nDropGen != port.nDropGenAtOpen || port.bDropUnseenAtOpen;
}

// The application's current stream, wherever it arrives: unless a drop may
// have cut it, it must arrive from its first frame on and without a gap,
// however the application ends (an abrupt close only cuts its tail).
void TrackAppStream(SPort& port, std::map<uint32_t, SProg>& map, const SFrame& f, const char* pszWhere)
{
    auto it = map.find(f.nEpoch);
    const uint32_t nBefore = it != map.end() ? it->second.nLast : 0;
    const int nResult = UpdateProg(map, f);
    if (f.nEpoch != port.nAppEpoch || DroppedSinceOpen(port) || port.bA2POverflow)
        return;
    ++g_stats.nStrictFrames;
    if (nResult == 0 || port.nFailedEpoch == f.nEpoch)
        return;
    port.nFailedEpoch = f.nEpoch;
    const std::string strWhat =
        nResult == 1 ? Format("first frame seq %u", f.nSeq) : Format("seq %u after seq %u", f.nSeq, nBefore);
    Fail(Format("%s: epoch %u of the application (no drop near its open, %.3f s ago) %s %s: %s", port.strName.c_str(),
                f.nEpoch, Now() - port.tOpen, nResult == 1 ? "lost its head" : "has a gap", pszWhere,
                strWhat.c_str()));
}

// ---------------------------------------------------------------- nimbreld

struct SUsage
{
    int nFds = -1;
    int nThreads = -1;
    long nRssKb = -1;
    double dCpu = 0;
};

bool SampleUsage(pid_t pid, SUsage* pUsage)
{
    SUsage u;
    const std::string strProc = "/proc/" + std::to_string(pid);
    DIR* pDir = opendir((strProc + "/fd").c_str());
    if (pDir == nullptr)
        return false;
    u.nFds = 0;
    while (struct dirent* pEnt = readdir(pDir))
        if (pEnt->d_name[0] != '.')
            ++u.nFds;
    closedir(pDir);
    FILE* pFile = fopen((strProc + "/status").c_str(), "r");
    if (pFile == nullptr)
        return false;
    char line[256];
    while (fgets(line, sizeof(line), pFile) != nullptr)
    {
        if (strncmp(line, "Threads:", 8) == 0)
            u.nThreads = atoi(line + 8);
        else if (strncmp(line, "VmRSS:", 6) == 0)
            u.nRssKb = atol(line + 6);
    }
    fclose(pFile);
    pFile = fopen((strProc + "/stat").c_str(), "r");
    if (pFile != nullptr)
    {
        char buf[1024];
        const size_t n = fread(buf, 1, sizeof(buf) - 1, pFile);
        buf[n] = '\0';
        fclose(pFile);
        // Fields after the command name, which may hold spaces: utime is the
        // 14th field, stime the 15th.
        const char* p = strrchr(buf, ')');
        unsigned long nUser = 0;
        unsigned long nSys = 0;
        if (p != nullptr && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &nUser, &nSys) == 2)
            u.dCpu = static_cast<double>(nUser + nSys) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    *pUsage = u;
    return u.nThreads >= 0 && u.nRssKb >= 0;
}

std::string UsageText(const SUsage& u)
{
    return Format("fds %d, threads %d, RSS %ld kB", u.nFds, u.nThreads, u.nRssKb);
}

// The drop counter of the UDP socket bound to a local port (0: none).
uint64_t UdpSocketDrops(int nPort)
{
    FILE* pFile = fopen("/proc/net/udp", "r");
    if (pFile == nullptr)
        return 0;
    char line[512];
    uint64_t nDrops = 0;
    char szWant[16];
    snprintf(szWant, sizeof(szWant), ":%04X ", nPort);
    while (fgets(line, sizeof(line), pFile) != nullptr)
    {
        // "  sl  local_address rem_address ... drops": the local address is
        // the second field.
        const char* pLocal = strchr(line, ':');
        if (pLocal == nullptr)
            continue;
        pLocal = strchr(pLocal + 1, ':');
        if (pLocal == nullptr || strncmp(pLocal, szWant, strlen(szWant)) != 0)
            continue;
        const char* pLast = strrchr(line, ' ');
        if (pLast != nullptr)
            nDrops = std::max<uint64_t>(nDrops, strtoull(pLast + 1, nullptr, 10));
    }
    fclose(pFile);
    return nDrops;
}

// ---------------------------------------------------------------- the run

class CSoak
{
public:
    int Main(int argc, char** argv);

private:
    bool ParseArgs(int argc, char** argv);
    bool PickPorts();
    bool WriteConfig();
    bool StartDaemon();
    void StopDaemon();
    void Cleanup();

    // Runs the loop until fnDone says so; false on timeout or when the run
    // has to end (interrupt, nimbreld gone, too many failures).
    bool RunUntil(const std::function<bool()>& fnDone, double dTimeout, const std::string& strWhat);
    void StartIncident(double tNow);
    bool MustEnd() const { return g_bInterrupted || m_bDaemonGone || g_nFailures > MAX_FAILURES; }
    void Iterate();
    void CheckDaemon();
    void ReadDaemon(int h, bool bStderr);
    void OnLine(const std::string& strLine);
    void Reacted(SPort& port, int nWhat);
    bool LineAllowed(const SPort& port, const std::string& strCol, const std::string& strValue) const;
    bool RowIdle(const SPort& port) const;
    std::string RowText(const SPort& port) const;

    void SetUpChecks(SPort& port);
    void ScheduleRun(SPort& port, double tNow);
    void TickApp(SPort& port, double tNow);
    void TickPeer(SPort& port, double tNow);
    void OpenApp(SPort& port, double tNow, bool bDrain);
    void CloseApp(SPort& port, double tNow);
    void WriteApp(SPort& port, bool bGenerate);
    void ReadApp(SPort& port);
    void StartWait(SPort& port, double tNow);
    void CheckWait(SPort& port, double tNow);
    bool PeerTargetReached(const SPort& port) const;
    void SetPeerTarget(SPort& port);

    void AcceptConn(SPort& port);
    void DialServer(SPort& port, double tNow);
    void OnConnEvent(SPort& port, SConn& conn, short nRevents, double tNow);
    void ConnEstablished(SPort& port, SConn& conn);
    void ConnEnded(SPort& port, SConn& conn, bool bByUs, bool bAbort);
    void WriteConn(SPort& port, SConn& conn);
    bool OpenUdp(SPort& port);
    void ReadUdp(SPort& port);
    void SendUdp(SPort& port);
    SConn* LiveConn(SPort& port);
    void NewConnCheck(SPort& port, SConn& conn);

    void Progress(bool bFinal);
    bool QuiesceAndSample(SUsage* pUsage, const std::string& strWhen);

    // Options.
    std::string m_strNimbreld;
    int m_nMinutes = 5;
    int m_nPorts = 64;
    uint64_t m_nSeed = 0;
    double m_dRate = 1.0;
    bool m_bKeep = false;
    double m_tWakeAt = 1e18;  // an earlier wake-up than the plain 5 ms
    double m_tNextIncident = 0;
    size_t m_nIncidentNext = 0;
    double m_tReactionFailUntil = 0;

    CRng m_rng{1};
    std::string m_strWork;
    std::string m_strPortDir;
    std::string m_strConfig;
    std::vector<std::unique_ptr<SPort>> m_ports;
    std::map<int, SPort*> m_byCom;

    pid_t m_pid = -1;
    int m_hOut = -1;
    int m_hErr = -1;
    std::string m_strOutBuf;
    bool m_bDaemonGone = false;
    int m_nExitStatus = -1;
    bool m_bSawPortDir = false;
    bool m_bSawStopping = false;
    bool m_bSawStopped = false;
    double m_tLastLine = 0;

    EPhase m_phase = EPhase::Setup;
    double m_tNextProgress = 0;
    double m_tRunStart = 0;
    double m_tLastDaemonCheck = 0;
    SUsage m_usageNow;
};

bool CSoak::ParseArgs(int argc, char** argv)
{
    m_nSeed = static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 20);
    for (int k = 1; k < argc; ++k)
    {
        const std::string strArg = argv[k];
        auto value = [&]() -> const char* { return k + 1 < argc ? argv[++k] : nullptr; };
        const char* psz = nullptr;
        if (strArg == "--nimbreld" && (psz = value()) != nullptr)
            m_strNimbreld = psz;
        else if (strArg == "--minutes" && (psz = value()) != nullptr)
            m_nMinutes = atoi(psz);
        else if (strArg == "--ports" && (psz = value()) != nullptr)
            m_nPorts = atoi(psz);
        else if (strArg == "--seed" && (psz = value()) != nullptr)
            m_nSeed = strtoull(psz, nullptr, 0);
        else if (strArg == "--rate" && (psz = value()) != nullptr)
            m_dRate = atof(psz);
        else if (strArg == "--keep")
            m_bKeep = true;
        else
        {
            fprintf(stderr,
                    "usage: nimbrel_soak_driver --nimbreld PATH [--minutes M] [--ports N] [--seed S] [--rate F] "
                    "[--keep]\n");
            return false;
        }
    }
    if (m_strNimbreld.empty() || m_nMinutes < 1 || m_nMinutes > 600 || m_nPorts < 3 || m_nPorts > 255 ||
        m_dRate <= 0.0 || m_dRate > 10.0)
    {
        fprintf(stderr, "nimbrel_soak_driver: --nimbreld is needed; minutes 1-600, ports 3-255, rate (0, 10]\n");
        return false;
    }
    return true;
}

// Fixed ports below the kernel's ephemeral range, so that no connection's
// own local port can take one while nimbreld has it closed between two
// listens, and our UDP peers can bind theirs again after a drop.
bool CSoak::PickPorts()
{
    int nLow = 32768;
    if (FILE* pFile = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r"))
    {
        int nA = 0;
        int nB = 0;
        if (fscanf(pFile, "%d %d", &nA, &nB) == 2 && nA > 4000)
            nLow = nA;
        fclose(pFile);
    }
    int nNext = 10000 + m_rng.Range(0, std::max(0, nLow - 10000 - 4 * m_nPorts - 100));
    auto freePort = [&]() -> int {
        for (; nNext < nLow; ++nNext)
        {
            bool bFree = true;
            for (int nType : {SOCK_STREAM, SOCK_DGRAM})
            {
                int h = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
                sockaddr_in addr{};
                addr.sin_family = AF_INET;
                addr.sin_addr.s_addr = htonl(INADDR_ANY);
                addr.sin_port = htons(static_cast<uint16_t>(nNext));
                if (h < 0 || bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
                    bFree = false;
                if (h >= 0)
                    close(h);
            }
            if (bFree)
                return nNext++;
        }
        return -1;
    };
    for (auto& pPort : m_ports)
    {
        SPort& port = *pPort;
        if (port.mode == EMode::Client)
        {
            port.nPeerPort = freePort();
            if (port.nPeerPort < 0)
                return false;
            port.hListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int nOn = 1;
            setsockopt(port.hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
            sockaddr_in addr = Loopback(port.nPeerPort);
            if (bind(port.hListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
                listen(port.hListen, 8) != 0)
            {
                fprintf(stderr, "cannot listen on 127.0.0.1:%d: %s\n", port.nPeerPort, strerror(errno));
                return false;
            }
        }
        else if (port.mode == EMode::Server)
        {
            port.nLocalPort = freePort();
            if (port.nLocalPort < 0)
                return false;
        }
        else
        {
            port.nPeerPort = freePort();
            port.nLocalPort = freePort();
            if (port.nPeerPort < 0 || port.nLocalPort < 0 || !OpenUdp(port))
                return false;
        }
    }
    return true;
}

bool CSoak::WriteConfig()
{
    FILE* pFile = fopen(m_strConfig.c_str(), "w");
    if (pFile == nullptr)
        return false;
    fprintf(pFile, "; Written by nimbrel_soak_driver.\n[Options]\nConnectTimeout=5\nReconnect=1\nReconnectTime=1\n");
    for (auto& pPort : m_ports)
    {
        const SPort& port = *pPort;
        fprintf(pFile, "\n[%s]\nEnable=1\nMode=%s\nConnectType=raw\nSSL=0\nKeepAlive=0\n", port.strName.c_str(),
                ModeName(port.mode));
        fprintf(pFile, "IPAddress=%s\nPeerPort=%d\nLocalPort=%d\n",
                port.mode == EMode::Server ? "0.0.0.0" : "127.0.0.1", port.nPeerPort, port.nLocalPort);
    }
    return fclose(pFile) == 0;
}

bool CSoak::StartDaemon()
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    const std::string strLock = m_strWork + "/lock";
    const pid_t pidParent = getpid();
    m_pid = fork();
    if (m_pid < 0)
        return false;
    if (m_pid == 0)
    {
        // Never outlive the driver, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != pidParent)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        dup2(out[1], 1);
        dup2(err[1], 2);
        setenv("NIMBREL_LOCK_FILE", strLock.c_str(), 1);
        execl(m_strNimbreld.c_str(), m_strNimbreld.c_str(), "--config", m_strConfig.c_str(), "--port-dir",
              m_strPortDir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_hOut = out[0];
    m_hErr = err[0];
    fcntl(m_hOut, F_SETFL, O_NONBLOCK);
    fcntl(m_hErr, F_SETFL, O_NONBLOCK);
    return true;
}

void CSoak::CheckDaemon()
{
    if (m_pid < 0 || m_bDaemonGone)
        return;
    int nStatus = 0;
    const pid_t r = waitpid(m_pid, &nStatus, WNOHANG);
    if (r != m_pid)
        return;
    m_bDaemonGone = true;
    m_nExitStatus = nStatus;
    // What it printed last.
    ReadDaemon(m_hOut, false);
    ReadDaemon(m_hErr, true);
    if (m_phase != EPhase::Stopping)
    {
        if (WIFSIGNALED(nStatus))
            Fail(Format("nimbreld died of signal %d (%s)", WTERMSIG(nStatus), strsignal(WTERMSIG(nStatus))));
        else
            Fail(Format("nimbreld exited with status %d", WEXITSTATUS(nStatus)));
    }
}

void CSoak::StopDaemon()
{
    if (m_pid < 0 || m_bDaemonGone)
        return;
    kill(m_pid, SIGTERM);
    for (int k = 0; k < 200 && !m_bDaemonGone; ++k)
    {
        usleep(100 * 1000);
        CheckDaemon();
    }
    if (!m_bDaemonGone)
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_bDaemonGone = true;
    }
}

void CSoak::Cleanup()
{
    for (auto& pPort : m_ports)
    {
        CloseFd(pPort->hApp);
        CloseFd(pPort->hListen);
        CloseFd(pPort->hUdp);
        for (auto& pConn : pPort->conns)
            CloseFd(pConn->h);
        pPort->conns.clear();
    }
    StopDaemon();
    CloseFd(m_hOut);
    CloseFd(m_hErr);
}

void CSoak::ReadDaemon(int h, bool bStderr)
{
    if (h < 0)
        return;
    char buf[65536];
    for (;;)
    {
        const ssize_t n = read(h, buf, sizeof(buf));
        if (n <= 0)
            return;
        if (bStderr)
        {
            std::string str(buf, static_cast<size_t>(n));
            while (!str.empty() && str.back() == '\n')
                str.pop_back();
            Fail("nimbreld wrote to stderr: " + str);
            continue;
        }
        m_strOutBuf.append(buf, static_cast<size_t>(n));
        size_t nPos;
        while ((nPos = m_strOutBuf.find('\n')) != std::string::npos)
        {
            const std::string strLine = m_strOutBuf.substr(0, nPos);
            m_strOutBuf.erase(0, nPos + 1);
            OnLine(strLine);
        }
    }
}

bool CSoak::LineAllowed(const SPort& port, const std::string& strCol, const std::string& strValue) const
{
    auto isPeer = [](const std::string& str) {
        if (str.rfind("127.0.0.1:", 0) != 0 || str.size() <= 10)
            return false;
        return str.find_first_not_of("0123456789", 10) == std::string::npos;
    };
    // Mode, Peer and Local are printed once at start; they never change.
    if (m_phase == EPhase::Setup && !port.bCreated)
    {
        static const char* const MODE_TEXTS[] = {"Client", "Server", "UDP"};
        if (strCol == "Mode")
            return strValue == MODE_TEXTS[ModeIndex(port.mode)];
        if (strCol == "Local")
            return port.mode == EMode::Client ? strValue == "-----"
                                              : !strValue.empty() &&
                                                    strValue.find_first_not_of("0123456789") == std::string::npos;
        if (strCol == "Peer")
            return strValue == port.idleRow.at("Peer");
    }
    if (strCol == "Create")
        return strValue == "Created" && m_phase == EPhase::Setup && !port.bCreated;
    if (strCol == "Connection")
    {
        switch (port.mode)
        {
        case EMode::Client:
            return strValue == "Connecting" || strValue == "Connected" || strValue == "Not Connect" ||
                   strValue == "Connect Error";
        case EMode::Server: return strValue == "Connected" || strValue == "Not Connect";
        case EMode::Udp: return strValue == "UDP Started" || strValue == "Not Connect";
        }
        return false;
    }
    if (strCol == "Peer")
        return port.mode == EMode::Server && (strValue == "----------" || isPeer(strValue));
    if (strCol == "BaudRate")
        return strValue == "--------" || strValue == "9600" || strValue == "19200" || strValue == "57600" ||
               strValue == "115200";
    if (strCol == "Data")
        return strValue == "-----" || strValue == "8";
    if (strCol == "Parity")
        return strValue == "-----" || strValue == "None";
    if (strCol == "Stop")
        return strValue == "-----" || strValue == "1";
    // Why a client's connection ended: the peers drop it on purpose.
    if (strCol == "Reason")
        return port.mode == EMode::Client &&
               (strValue.rfind("connection to 127.0.0.1:", 0) == 0 || strValue.rfind("connect 127.0.0.1:", 0) == 0);
    return false;
}

void CSoak::Reacted(SPort& port, int nWhat)
{
    if (nWhat != port.nReactionPending)
        return;
    port.nReactionPending = 0;
    const double d = Now() - port.tReactionFrom;
    ++g_stats.nReactions;
    if (d > SLOW_REACTION)
    {
        ++g_stats.nSlowReactions;
        Log(Format("%s: nimbreld showed the %s after %.3f s", port.strName.c_str(), nWhat == 1 ? "open" : "close", d));
    }
    if (d > g_stats.dMaxReaction)
    {
        g_stats.dMaxReaction = d;
        g_stats.strMaxReaction = Format("%s %s at %.1f s", port.strName.c_str(), nWhat == 1 ? "open" : "close",
                                        port.tReactionFrom - g_dT0);
    }
    if (d <= MAX_REACTION)
        return;
    // One failure a stall: the ports that waited behind it only go to the log.
    if (Now() < m_tReactionFailUntil)
    {
        Log("(slow reaction within the same stall)");
        return;
    }
    m_tReactionFailUntil = Now() + 15.0;
    g_tStall = Now();
    Fail(Format("nimbreld took %.1f s to show the %s of %s (every port's opens and closes wait meanwhile)", d,
                nWhat == 1 ? "open" : "close", port.strName.c_str()));
}

void CSoak::OnLine(const std::string& strLine)
{
    ++g_stats.nLines;
    m_tLastLine = Now();
    Log("nimbreld: " + strLine);
    if (strLine.rfind("COM", 0) == 0)
    {
        const size_t nSpace = strLine.find(' ');
        const size_t nColon = strLine.find(": ", nSpace == std::string::npos ? 0 : nSpace);
        if (nSpace != std::string::npos && nColon != std::string::npos)
        {
            const int nCom = atoi(strLine.c_str() + 3);
            const std::string strCol = strLine.substr(nSpace + 1, nColon - nSpace - 1);
            const std::string strValue = strLine.substr(nColon + 2);
            auto it = m_byCom.find(nCom);
            if (it != m_byCom.end())
            {
                SPort& port = *it->second;
                if (!LineAllowed(port, strCol, strValue))
                    Fail("unexpected line from nimbreld: \"" + strLine + "\"");
                port.row[strCol] = strValue;
                if (strCol == "BaudRate" && port.nReactionPending != 0)
                    Reacted(port, strValue != "--------" ? 1 : 2);
                if (strCol == "Create" && strValue == "Created")
                    port.bCreated = true;
                if (strCol == "Connection" && (strValue == "Not Connect" || strValue == "Connect Error"))
                    port.bDropUnseen = false;
                if (port.mode == EMode::Udp && strCol == "Connection")
                {
                    port.bUdpBound = strValue == "UDP Started";
                    (port.bUdpBound ? port.nUdpBoundSeq : port.nUdpUnboundSeq) = port.peerSrc.NextSeq();
                }
                return;
            }
        }
        Fail("unexpected line from nimbreld: \"" + strLine + "\"");
        return;
    }
    if (strLine == "Port directory: " + m_strPortDir && m_phase == EPhase::Setup && !m_bSawPortDir)
    {
        m_bSawPortDir = true;
        return;
    }
    if (strLine == "Stopping." && m_phase == EPhase::Stopping && !m_bSawStopping)
    {
        m_bSawStopping = true;
        return;
    }
    if (strLine == "Stopped." && m_phase == EPhase::Stopping && m_bSawStopping && !m_bSawStopped)
    {
        m_bSawStopped = true;
        return;
    }
    Fail("unexpected line from nimbreld: \"" + strLine + "\"");
}

bool CSoak::RowIdle(const SPort& port) const
{
    for (const auto& [strCol, strValue] : port.idleRow)
    {
        auto it = port.row.find(strCol);
        if (it == port.row.end() || it->second != strValue)
            return false;
    }
    return true;
}

std::string CSoak::RowText(const SPort& port) const
{
    std::string str;
    for (const auto& [strCol, strValue] : port.row)
        str += (str.empty() ? "" : ", ") + strCol + "=" + strValue;
    return str;
}

// ---- checks ----

void CSoak::SetUpChecks(SPort& port)
{
    SPort* p = &port;
    const int nMode = ModeIndex(port.mode);
    port.appRx.m_nPort = static_cast<uint8_t>(port.nIndex);
    port.appRx.m_fnFail = [](const std::string& str) { Fail(str); };
    port.appRx.m_fnGood = [p, nMode](const SFrame& f, size_t nBytes) {
        g_stats.nP2ABytes[nMode] += nBytes;
        ++g_stats.nP2AFrames[nMode];
        if (p->bEcho)
            TrackAppStream(*p, p->echoProg, f, "in the echo at the application");
    };
    switch (port.mode)
    {
    case EMode::Client:
        // The echo of our own stream. It comes back in the pieces the
        // connections carried: a gap is right only where a connection began.
        port.appRx.m_strName = port.strName + " echo at the application";
        port.appRx.m_nKind = soak::KIND_APP;
        port.appRx.m_fnGapOk = [p](const SFrame&, const SFrame& next) {
            return p->connStarts.count({next.nEpoch, next.nSeq}) != 0;
        };
        break;
    case EMode::Server:
        // The peer's stream, one epoch a connection. Nothing of it is lost
        // while the port is closed: the pty keeps it; so the check spans
        // the whole run, and only a dropped connection may cut it.
        port.appRx.m_strName = port.strName + " peer stream at the application";
        port.appRx.m_nKind = soak::KIND_PEER;
        port.appRx.m_bEpochFromZero = true;
        break;
    case EMode::Udp:
        // The peer's datagrams. A gap is right after a datagram sent before
        // nimbreld last showed the port unbound (what came while it was not
        // bound is lost; the pty may still hold what came before), or when
        // nimbreld's socket shows drops.
        port.appRx.m_strName = port.strName + " peer datagrams at the application";
        port.appRx.m_nKind = soak::KIND_PEER;
        port.appRx.m_fnGapOk = [p](const SFrame& prev, const SFrame&) {
            if (prev.nSeq < p->nUdpUnboundSeq)
            {
                ++g_stats.nUdpStaleGaps;
                return true;
            }
            const uint64_t nDrops = UdpSocketDrops(p->nLocalPort);
            if (nDrops > p->nBridgeDropsSeen)
            {
                p->nBridgeDropsSeen = nDrops;
                p->bP2AOverflow = true;
                ++g_stats.nUdpOverflowP2A;
                return true;
            }
            return false;
        };
        port.udpRx.m_strName = port.strName + " application stream at the UDP peer";
        port.udpRx.m_nKind = soak::KIND_APP;
        port.udpRx.m_nPort = static_cast<uint8_t>(port.nIndex);
        port.udpRx.m_fnFail = [](const std::string& str) { Fail(str); };
        port.udpRx.m_fnGood = [p, nMode](const SFrame& f, size_t nBytes) {
            g_stats.nA2PBytes[nMode] += nBytes;
            ++g_stats.nA2PFrames[nMode];
            TrackAppStream(*p, p->a2pProg, f, "at the UDP peer");
        };
        port.udpRx.m_fnGapOk = [p](const SFrame&, const SFrame&) {
            if (p->nOvfl > p->nOvflChecked)
            {
                p->nOvflChecked = p->nOvfl;
                p->bA2POverflow = true;
                ++g_stats.nUdpOverflowA2P;
                return true;
            }
            return false;
        };
        break;
    }
    port.idleRow["Create"] = "Created";
    port.idleRow["Connection"] = "Not Connect";
    port.idleRow["BaudRate"] = "--------";
    port.idleRow["Data"] = "-----";
    port.idleRow["Parity"] = "-----";
    port.idleRow["Stop"] = "-----";
    port.idleRow["Peer"] = port.mode == EMode::Server ? "----------" : "127.0.0.1:" + std::to_string(port.nPeerPort);
    port.row = port.idleRow;
    port.row["Create"] = "None";
}

void CSoak::NewConnCheck(SPort& port, SConn& conn)
{
    SPort* p = &port;
    SConn* c = &conn;
    const int nMode = ModeIndex(port.mode);
    conn.rx.m_strName =
        port.strName + " application stream at the peer (connection " + std::to_string(port.nConnGen) + ")";
    conn.rx.m_nKind = soak::KIND_APP;
    conn.rx.m_nPort = static_cast<uint8_t>(port.nIndex);
    conn.rx.m_fnFail = [](const std::string& str) { Fail(str); };
    conn.rx.m_fnGood = [p, c, nMode](const SFrame& f, size_t nBytes) {
        g_stats.nA2PBytes[nMode] += nBytes;
        ++g_stats.nA2PFrames[nMode];
        TrackAppStream(*p, p->a2pProg, f, "at the peer");
        if (!c->bHaveStart)
        {
            c->bHaveStart = true;
            p->connStarts.insert({f.nEpoch, f.nSeq});
            while (p->connStarts.size() > 64)
                p->connStarts.erase(p->connStarts.begin());
        }
    };
}

// ---- the application ----

void CSoak::ScheduleRun(SPort& port, double tNow)
{
    const bool bWarm = m_phase == EPhase::Warmup;
    port.tNextOpen = tNow + (bWarm ? m_rng.Uniform(0.0, 0.5) : m_rng.Uniform(0.0, 2.0));
    port.tNextDrop = bWarm ? 1e18 : tNow + m_rng.Uniform(3.0, 20.0);
    port.tRedial = tNow;
    port.tNextPeerSend = tNow;
    port.bDrained = false;
}

void CSoak::OpenApp(SPort& port, double tNow, bool bDrain)
{
    const int h = open(port.strLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (h < 0)
    {
        Fail(port.strName + ": cannot open " + port.strLink + ": " + strerror(errno));
        port.tNextOpen = tNow + 1.0;
        return;
    }
    struct termios t;
    if (tcgetattr(h, &t) == 0)
    {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        static const speed_t s_speeds[] = {B9600, B19200, B57600, B115200};
        static const char* const s_names[] = {"9600", "19200", "57600", "115200"};
        const uint32_t nSpeed = m_rng.Below(4);
        cfsetspeed(&t, s_speeds[nSpeed]);
        Log(port.strName + " speed " + s_names[nSpeed]);
        if (tcsetattr(h, TCSANOW, &t) != 0)
            Fail(port.strName + ": tcsetattr: " + strerror(errno));
    }
    else
    {
        Fail(port.strName + ": tcgetattr: " + strerror(errno));
    }
    port.hApp = h;
    ++port.nAppEpoch;
    Log(Format("%s open, epoch %u, %.3f s after the close%s", port.strName.c_str(), port.nAppEpoch,
               tNow - port.tStateSince, bDrain ? " (reading the backlog)" : ""));
    port.appSrc.NewEpoch(port.nAppEpoch);
    port.appOut.Clear();
    port.nDropGenAtOpen = port.nDropGen;
    port.bDropUnseenAtOpen = port.bDropUnseen;
    port.tOpen = tNow;
    port.nReactionPending = 1;
    port.tReactionFrom = tNow;
    port.bP2AOverflow = false;
    port.bA2POverflow = false;
    port.nBridgeDropsSeen = 0;
    port.tReadPausedUntil = 0;
    port.tStateSince = tNow;
    // The server port's stream runs on across opens; the others begin anew.
    if (port.mode != EMode::Server)
        port.appRx.Boundary();
    if (bDrain)
    {
        port.app = EApp::Draining;
        port.bPeerTarget = false;
        SetPeerTarget(port);
        port.tDeadline = tNow + 20.0;
        return;
    }
    ++g_stats.nOpens[ModeIndex(port.mode)];
    port.app = EApp::Open;
    const bool bWarm = m_phase == EPhase::Warmup;
    port.tClose = tNow + (bWarm ? m_rng.Uniform(1.0, 2.0) : m_rng.Chance(0.1) ? m_rng.Uniform(0.0, 0.2)
                                                                                : m_rng.Uniform(0.2, 6.0));
    const double dStyle = m_rng.Uniform(0.0, 1.0);
    port.close = bWarm || dStyle < 0.4 ? EClose::Graceful : dStyle < 0.6 ? EClose::Flush : EClose::Abrupt;
    port.bIncident = port.bIncidentPending;
    port.bIncidentPending = false;
    port.bIncidentReset = false;
    if (port.bIncident)
    {
        // Writes fast and never reads, so that nimbreld holds bytes both
        // ways when the peer resets; then the application closes.
        ++g_stats.nIncidents;
        port.tClose = tNow + 2.5;
        port.close = EClose::Abrupt;
        port.tReadPausedUntil = tNow + 1e6;
        Log(port.strName + ": scripted slow reader, peer reset, close");
    }
    // The first bytes go out at once, as many programs do.
    port.tNextWrite = tNow;
    WriteApp(port, true);
    port.tNextWrite = tNow + m_rng.Uniform(0.01, 0.08);
}

void CSoak::CloseApp(SPort& port, double tNow)
{
    Log(Format("%s close, epoch %u after %u frames (%s)", port.strName.c_str(), port.nAppEpoch, port.appSrc.NextSeq(),
               port.app == EApp::Draining ? "backlog read" : CloseName(port.close)));
    CloseFd(port.hApp);
    port.nReactionPending = 2;
    port.tReactionFrom = tNow;
    port.appOut.Clear();
    port.app = EApp::Closed;
    port.tStateSince = tNow;
    port.bIncident = false;
    // Mostly a pause a person would make, sometimes at once again (a script
    // that reopens the port, say): a few milliseconds is while nimbreld is
    // still handling the close.
    if (m_rng.Chance(0.1))
    {
        if (m_phase == EPhase::Run)
            ++g_stats.nQuickReopens;
        port.tNextOpen = tNow + m_rng.Uniform(0.0005, 0.005);
        m_tWakeAt = std::min(m_tWakeAt, port.tNextOpen);
    }
    else
    {
        port.tNextOpen = tNow + m_rng.Uniform(0.05, 2.0);
    }
}

void CSoak::WriteApp(SPort& port, bool bGenerate)
{
    if (bGenerate && port.appOut.Pending() < 8192)
    {
        const size_t nWant = static_cast<size_t>(m_rng.Range(1, static_cast<int>(1500 * m_dRate)));
        size_t nAdded = 0;
        while (nAdded < nWant)
        {
            const uint32_t nSeq = port.appSrc.NextSeq();
            const size_t n = port.appSrc.Append(port.appOut.data, m_rng);
            port.appOut.Appended(n, true, nSeq);
            nAdded += n;
        }
    }
    size_t nPending = port.appOut.Pending();
    if (nPending == 0)
        return;
    // Random-sized pieces, so frames are cut anywhere.
    const int nMost = static_cast<int>(std::min<size_t>(nPending, 4096));
    const size_t nPiece = m_rng.Chance(0.3) ? nPending : static_cast<size_t>(m_rng.Range(1, nMost));
    const ssize_t n = write(port.hApp, port.appOut.Head(), nPiece);
    if (n > 0)
        port.appOut.Consume(static_cast<size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
        Fail(port.strName + ": application write: " + strerror(errno));
}

void CSoak::ReadApp(SPort& port)
{
    uint8_t buf[65536];
    for (int k = 0; k < 4; ++k)
    {
        const ssize_t n = read(port.hApp, buf, sizeof(buf));
        if (n > 0)
        {
            port.appRx.Feed(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        Fail(port.strName + ": application read: " + (n == 0 ? std::string("end of file") : strerror(errno)));
        CloseApp(port, Now());
        return;
    }
}

void CSoak::SetPeerTarget(SPort& port)
{
    port.bPeerTarget = false;
    port.bPeerTargetStrict = false;
    if (port.mode == EMode::Server)
    {
        SConn* pConn = LiveConn(port);
        if (pConn != nullptr && !pConn->bConnecting && pConn->out.bAnyDone)
        {
            port.bPeerTarget = true;
            port.bPeerTargetStrict = true;
            port.nPeerTargetEpoch = pConn->nEpoch;
            port.nPeerTargetSeq = pConn->out.nLastDone;
        }
    }
    else if (port.mode == EMode::Udp)
    {
        if (port.bUdpSentAny && port.app != EApp::Draining)
        {
            port.bPeerTarget = true;
            port.nPeerTargetEpoch = port.peerSrc.Epoch();
            port.nPeerTargetSeq = port.nUdpLastSent;
            // Sent while nimbreld had its socket bound for this open.
            port.bPeerTargetStrict = port.bUdpBound && port.nUdpBoundSeq <= port.nUdpLastSent;
        }
    }
}

bool CSoak::PeerTargetReached(const SPort& port) const
{
    if (!port.bPeerTarget)
        return true;
    const CStreamCheck& rx = port.appRx;
    if (!rx.m_bHave)
        return false;
    return rx.m_last.nEpoch > port.nPeerTargetEpoch ||
           (rx.m_last.nEpoch == port.nPeerTargetEpoch && rx.m_last.nSeq >= port.nPeerTargetSeq);
}

void CSoak::StartWait(SPort& port, double tNow)
{
    port.app = EApp::Waiting;
    port.tStateSince = tNow;
    port.tDeadline = tNow + 20.0;
    port.tReadPausedUntil = 0;
    SetPeerTarget(port);
}

void CSoak::CheckWait(SPort& port, double tNow)
{
    const uint32_t nEpoch = port.nAppEpoch;
    const uint32_t nFrames = port.appSrc.NextSeq();
    const bool bDropped = DroppedSinceOpen(port);
    const bool bA2P = ProgComplete(port.a2pProg, nEpoch, nFrames);
    const bool bEcho = !port.bEcho || ProgComplete(port.echoProg, nEpoch, nFrames);
    const bool bPeer = PeerTargetReached(port);
    const int nMode = ModeIndex(port.mode);
    // Whatever was dropped or overflowed may be missing; then only wait a
    // moment for what will still come.
    const bool bStrictA2P = !bDropped && !port.bA2POverflow;
    const bool bStrictPeer = port.bPeerTargetStrict && !bDropped && !port.bP2AOverflow;
    if (bA2P && bEcho && bPeer)
    {
        if (bStrictA2P && (!port.bPeerTarget || bStrictPeer))
            ++g_stats.nGracefulStrict[nMode];
        else
            ++g_stats.nGracefulLenient[nMode];
        CloseApp(port, tNow);
        return;
    }
    const bool bMissingStrict = (!bA2P && bStrictA2P) || (!bEcho && bStrictA2P) || (!bPeer && bStrictPeer);
    if ((!bMissingStrict || port.nFailedEpoch == nEpoch) && tNow - port.tStateSince > 2.0)
    {
        ++g_stats.nGracefulLenient[nMode];
        CloseApp(port, tNow);
        return;
    }
    if (tNow < port.tDeadline)
        return;
    port.nFailedEpoch = nEpoch;
    std::string str = port.strName + ": graceful close of epoch " + std::to_string(nEpoch) + " (" +
                      std::to_string(nFrames) + " frames written, no drop since the open) still incomplete after " +
                      Format("%.0f s", tNow - port.tStateSince) + ":";
    if (!bA2P)
        str += " the peer has " + ProgText(port.a2pProg, nEpoch) + ";";
    if (!bEcho)
        str += " the echo brought " + ProgText(port.echoProg, nEpoch) + ";";
    if (!bPeer)
        str += Format(" the application waits for peer epoch %u seq %u, has %s;", port.nPeerTargetEpoch,
                      port.nPeerTargetSeq, port.appRx.Where().c_str());
    str += " row: " + RowText(port);
    Fail(str);
    CloseApp(port, tNow);
}

void CSoak::TickApp(SPort& port, double tNow)
{
    switch (port.app)
    {
    case EApp::Closed:
        if ((m_phase == EPhase::Run || m_phase == EPhase::Warmup) && tNow >= port.tNextOpen &&
            !(m_phase == EPhase::Warmup && port.nAppEpoch > 0))
            OpenApp(port, tNow, false);
        else if (m_phase == EPhase::Drain && port.mode == EMode::Server && !port.bDrained)
            OpenApp(port, tNow, true);
        break;
    case EApp::Open:
        if (m_phase != EPhase::Run && m_phase != EPhase::Warmup && !port.bIncident)
        {
            // Winding down: every application finishes gracefully now.
            port.tClose = tNow;
            port.close = EClose::Graceful;
        }
        if (port.bIncident && !port.bIncidentReset && tNow >= port.tClose - 0.4)
        {
            port.bIncidentReset = true;
            if (SConn* pConn = LiveConn(port))
                ConnEnded(port, *pConn, true, true);
        }
        if (tNow >= port.tClose)
        {
            if (port.close == EClose::Abrupt)
            {
                if (port.bIncident)
                    WriteApp(port, true);  // fresh bytes for the close to send
                ++g_stats.nAbrupt[ModeIndex(port.mode)];
                CloseApp(port, tNow);
            }
            else
            {
                port.app = EApp::Flushing;
                port.tStateSince = tNow;
                port.tDeadline = tNow + 20.0;
                port.tReadPausedUntil = 0;
            }
            break;
        }
        if (tNow >= port.tNextWrite)
        {
            WriteApp(port, true);
            if (port.bIncident)
                WriteApp(port, true);
            port.tNextWrite = tNow + (port.bIncident ? 0.005 : m_rng.Uniform(0.01, 0.08));
        }
        // Now and then the application stops reading for a while.
        if (port.tReadPausedUntil < tNow && m_rng.Chance(0.0005))
        {
            port.tReadPausedUntil = tNow + m_rng.Uniform(0.1, 1.5);
            ++g_stats.nReadPauses;
        }
        break;
    case EApp::Flushing:
        if (tNow >= port.tNextWrite)
        {
            WriteApp(port, false);
            port.tNextWrite = tNow + 0.005;
        }
        if (port.appOut.Pending() > 0)
        {
            if (tNow > port.tDeadline)
            {
                Fail(port.strName + Format(": the application could not write %zu bytes in %.0f s; row: ",
                                           port.appOut.Pending(), tNow - port.tStateSince) +
                     RowText(port));
                CloseApp(port, tNow);
            }
        }
        else if (port.close != EClose::Flush)
        {
            StartWait(port, tNow);
        }
        else
        {
            CloseApp(port, tNow);
            port.app = EApp::AfterClose;
            port.tDeadline = tNow + 15.0;
        }
        break;
    case EApp::Waiting:
        CheckWait(port, tNow);
        break;
    case EApp::AfterClose:
    {
        // nimbreld must still send what the application wrote before it
        // closed; only a drop may excuse a missing piece.
        const uint32_t nFrames = port.appSrc.NextSeq();
        const int nMode = ModeIndex(port.mode);
        const bool bStrict =
            !DroppedSinceOpen(port) && !port.bA2POverflow && port.nFailedEpoch != port.nAppEpoch;
        if (ProgComplete(port.a2pProg, port.nAppEpoch, nFrames))
        {
            if (bStrict)
                ++g_stats.nFlushStrict[nMode];
            else
                ++g_stats.nFlushLenient[nMode];
            port.app = EApp::Closed;
        }
        else if (!bStrict && tNow - port.tStateSince > 2.0)
        {
            ++g_stats.nFlushLenient[nMode];
            port.app = EApp::Closed;
        }
        else if (tNow > port.tDeadline)
        {
            if (port.nFailedEpoch != port.nAppEpoch)
                Fail(Format("%s: the application wrote %u frames of epoch %u and closed; %.0f s later the peer has "
                            "%s; row: ",
                            port.strName.c_str(), nFrames, port.nAppEpoch, tNow - port.tStateSince,
                            ProgText(port.a2pProg, port.nAppEpoch).c_str()) +
                     RowText(port));
            port.nFailedEpoch = port.nAppEpoch;
            port.app = EApp::Closed;
        }
        break;
    }
    case EApp::Draining:
    {
        const bool bStrict = port.bPeerTargetStrict && !DroppedSinceOpen(port);
        if (PeerTargetReached(port) || (!bStrict && tNow - port.tStateSince > 2.0))
        {
            CloseApp(port, tNow);
            port.bDrained = true;
        }
        else if (tNow > port.tDeadline)
        {
            Fail(port.strName + Format(": the application waits for peer epoch %u seq %u (sent while it was "
                                       "closed or open), has %s; row: ",
                                       port.nPeerTargetEpoch, port.nPeerTargetSeq, port.appRx.Where().c_str()) +
                 RowText(port));
            CloseApp(port, tNow);
            port.bDrained = true;
        }
        break;
    }
    }
}

// ---- the peers ----

SConn* CSoak::LiveConn(SPort& port)
{
    for (auto it = port.conns.rbegin(); it != port.conns.rend(); ++it)
        if (!(*it)->bDead)
            return it->get();
    return nullptr;
}

void CSoak::AcceptConn(SPort& port)
{
    for (;;)
    {
        const int h = accept4(port.hListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (h < 0)
            return;
        ++g_stats.nAccepts;
        auto pConn = std::make_unique<SConn>();
        pConn->h = h;
        ++port.nConnGen;
        pConn->nEpoch = port.nConnGen;
        Log(Format("%s connection %u accepted", port.strName.c_str(), pConn->nEpoch));
        NewConnCheck(port, *pConn);
        port.conns.push_back(std::move(pConn));
    }
}

void CSoak::DialServer(SPort& port, double tNow)
{
    const int h = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (h < 0)
    {
        Fail(std::string("socket: ") + strerror(errno));
        port.tRedial = tNow + 1.0;
        return;
    }
    ++g_stats.nDials;
    sockaddr_in addr = Loopback(port.nLocalPort);
    auto pConn = std::make_unique<SConn>();
    pConn->h = h;
    if (connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
    {
        port.conns.push_back(std::move(pConn));
        ConnEstablished(port, *port.conns.back());
        return;
    }
    if (errno == EINPROGRESS)
    {
        pConn->bConnecting = true;
        port.conns.push_back(std::move(pConn));
        return;
    }
    close(h);
    ++g_stats.nRefused;
    port.tRedial = tNow + m_rng.Uniform(0.05, 0.3);
}

void CSoak::ConnEstablished(SPort& port, SConn& conn)
{
    conn.bConnecting = false;
    ++port.nConnGen;
    conn.nEpoch = port.nConnGen;
    Log(Format("%s connection %u dialled", port.strName.c_str(), conn.nEpoch));
    port.peerSrc.NewEpoch(conn.nEpoch);
    NewConnCheck(port, conn);
}

void CSoak::ConnEnded(SPort& port, SConn& conn, bool bByUs, bool bAbort)
{
    if (conn.bDead)
        return;
    if (bAbort)
    {
        // A reset instead of an orderly close.
        struct linger lin = {1, 0};
        setsockopt(conn.h, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    }
    CloseFd(conn.h);
    conn.bDead = true;
    if (conn.bConnecting)
        return;
    Log(Format("%s connection %u ended by %s%s", port.strName.c_str(), conn.nEpoch, bByUs ? "the peer" : "nimbreld",
               bAbort ? " (reset)" : ""));
    if (bByUs || port.mode != EMode::Client)
        NoteDrop(port);
    if (!bByUs)
        ++g_stats.nBridgeHangups[ModeIndex(port.mode)];
    else if (m_phase == EPhase::Run)
        ++g_stats.nDrops[ModeIndex(port.mode)];
}

void CSoak::WriteConn(SPort& port, SConn& conn)
{
    while (conn.out.Pending() > 0)
    {
        const ssize_t n = send(conn.h, conn.out.Head(), conn.out.Pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
        {
            conn.out.Consume(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        ConnEnded(port, conn, false, false);
        return;
    }
}

void CSoak::OnConnEvent(SPort& port, SConn& conn, short nRevents, double tNow)
{
    if (conn.bDead)
        return;
    if (conn.bConnecting)
    {
        if ((nRevents & (POLLOUT | POLLERR | POLLHUP)) == 0)
            return;
        int nError = 0;
        socklen_t nLen = sizeof(nError);
        if (getsockopt(conn.h, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0)
        {
            ++g_stats.nRefused;
            ConnEnded(port, conn, true, false);
            port.tRedial = tNow + m_rng.Uniform(0.05, 0.3);
            return;
        }
        ConnEstablished(port, conn);
        return;
    }
    if (nRevents & (POLLIN | POLLERR | POLLHUP))
    {
        uint8_t buf[65536];
        for (int k = 0; k < 4; ++k)
        {
            const ssize_t n = recv(conn.h, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
            {
                conn.rx.Feed(buf, static_cast<size_t>(n));
                if (port.bEcho)
                {
                    conn.out.data.insert(conn.out.data.end(), buf, buf + n);
                    conn.out.Appended(static_cast<size_t>(n), false, 0);
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            // Closed or reset by nimbreld. A server port never hangs up on
            // its own in raw mode.
            if (port.mode == EMode::Server)
                Fail(port.strName + ": nimbreld hung up on the peer (" +
                     (n == 0 ? std::string("end of stream") : strerror(errno)) + "); row: " + RowText(port));
            ConnEnded(port, conn, false, false);
            port.tRedial = tNow + m_rng.Uniform(0.05, 0.3);
            return;
        }
    }
    if (conn.out.Pending() > 0)
        WriteConn(port, conn);
}

bool CSoak::OpenUdp(SPort& port)
{
    port.hUdp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (port.hUdp < 0)
        return false;
    int nOn = 1;
    setsockopt(port.hUdp, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    // The kernel counts what overflows our buffer; recvmsg reports it.
    setsockopt(port.hUdp, SOL_SOCKET, SO_RXQ_OVFL, &nOn, sizeof(nOn));
    sockaddr_in addr = Loopback(port.nPeerPort);
    if (bind(port.hUdp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        CloseFd(port.hUdp);
        return false;
    }
    port.nOvfl = port.nOvflChecked = 0;
    port.udpRx.Boundary();
    return true;
}

void CSoak::ReadUdp(SPort& port)
{
    uint8_t buf[65536];
    for (int k = 0; k < 64; ++k)
    {
        sockaddr_in from{};
        iovec iov = {buf, sizeof(buf)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(port.hUdp, &msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        for (cmsghdr* pC = CMSG_FIRSTHDR(&msg); pC != nullptr; pC = CMSG_NXTHDR(&msg, pC))
        {
            if (pC->cmsg_level == SOL_SOCKET && pC->cmsg_type == SO_RXQ_OVFL)
            {
                uint32_t nDrops = 0;
                memcpy(&nDrops, CMSG_DATA(pC), sizeof(nDrops));
                port.nOvfl = nDrops;
            }
        }
        if (ntohs(from.sin_port) != port.nLocalPort || from.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        {
            Fail(port.strName + Format(": datagram from %s:%d instead of nimbreld's 127.0.0.1:%d",
                                       inet_ntoa(from.sin_addr), ntohs(from.sin_port), port.nLocalPort));
            continue;
        }
        port.udpRx.Feed(buf, static_cast<size_t>(n));
    }
}

void CSoak::SendUdp(SPort& port)
{
    std::vector<uint8_t> datagram;
    const int nFrames = m_rng.Range(1, 3);
    uint32_t nLast = 0;
    for (int k = 0; k < nFrames; ++k)
    {
        nLast = port.peerSrc.NextSeq();
        port.peerSrc.Append(datagram, m_rng);
    }
    sockaddr_in addr = Loopback(port.nLocalPort);
    const ssize_t n = sendto(port.hUdp, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    // A full send buffer or an error from an unbound port only skips
    // sequence numbers: the receiver sees a gap before this open began.
    if (n == static_cast<ssize_t>(datagram.size()))
    {
        port.bUdpSentAny = true;
        port.nUdpLastSent = nLast;
    }
}

void CSoak::TickPeer(SPort& port, double tNow)
{
    const bool bRun = m_phase == EPhase::Run;
    const bool bSend = bRun || m_phase == EPhase::Warmup;
    switch (port.mode)
    {
    case EMode::Client:
        if (bRun && tNow >= port.tNextDrop)
        {
            port.tNextDrop = tNow + m_rng.Uniform(3.0, 20.0);
            if (SConn* pConn = LiveConn(port))
                ConnEnded(port, *pConn, true, m_rng.Chance(0.3));
        }
        if (m_phase == EPhase::Disconnect)
            for (auto& pConn : port.conns)
                ConnEnded(port, *pConn, true, false);
        break;
    case EMode::Server:
    {
        SConn* pConn = LiveConn(port);
        if (m_phase == EPhase::Disconnect || m_phase == EPhase::Idle)
        {
            for (auto& pC : port.conns)
                ConnEnded(port, *pC, true, false);
            break;
        }
        if (pConn == nullptr)
        {
            if (tNow >= port.tRedial)
                DialServer(port, tNow);
            break;
        }
        if (pConn->bConnecting)
            break;
        if (bRun && tNow >= port.tNextDrop)
        {
            port.tNextDrop = tNow + m_rng.Uniform(3.0, 20.0);
            port.tRedial = tNow + m_rng.Uniform(0.05, 1.0);
            ConnEnded(port, *pConn, true, m_rng.Chance(0.3));
            break;
        }
        if (bSend && tNow >= port.tNextPeerSend)
        {
            port.tNextPeerSend = tNow + m_rng.Uniform(0.01, 0.08);
            if (pConn->out.Pending() < 16384)
            {
                const size_t nWant = static_cast<size_t>(m_rng.Range(1, static_cast<int>(1500 * m_dRate)));
                size_t nAdded = 0;
                while (nAdded < nWant)
                {
                    const uint32_t nSeq = port.peerSrc.NextSeq();
                    const size_t n = port.peerSrc.Append(pConn->out.data, m_rng);
                    pConn->out.Appended(n, true, nSeq);
                    nAdded += n;
                }
            }
        }
        if (pConn->out.Pending() > 0)
            WriteConn(port, *pConn);
        break;
    }
    case EMode::Udp:
        if (port.hUdp < 0)
        {
            if (tNow >= port.tRedial && OpenUdp(port))
            {
                // Back after being away: what came meanwhile is lost.
                NoteDrop(port);
                Log(port.strName + " UDP peer back");
            }
            else if (tNow >= port.tRedial)
            {
                Fail(port.strName + Format(": cannot bind the UDP peer to 127.0.0.1:%d again: %s", port.nPeerPort,
                                           strerror(errno)));
                port.tRedial = tNow + 1.0;
            }
            break;
        }
        if (bRun && tNow >= port.tNextDrop)
        {
            port.tNextDrop = tNow + m_rng.Uniform(3.0, 20.0);
            port.tRedial = tNow + m_rng.Uniform(0.05, 0.5);
            CloseFd(port.hUdp);
            NoteDrop(port);
            Log(port.strName + " UDP peer away");
            ++g_stats.nDrops[ModeIndex(port.mode)];
            break;
        }
        if (bSend && tNow >= port.tNextPeerSend)
        {
            port.tNextPeerSend = tNow + m_rng.Uniform(0.02, 0.08) / m_dRate;
            SendUdp(port);
        }
        break;
    }
    // Ended connections go once nothing can refer to them any more.
    port.conns.erase(std::remove_if(port.conns.begin(), port.conns.end(),
                                    [](const std::unique_ptr<SConn>& p) { return p->bDead; }),
                     port.conns.end());
}

// ---- the loop ----

void CSoak::Iterate()
{
    enum EWhat
    {
        W_OUT,
        W_ERR,
        W_APP,
        W_LISTEN,
        W_CONN,
        W_UDP
    };
    struct SRef
    {
        EWhat what;
        SPort* pPort;
        SConn* pConn;
    };
    std::vector<pollfd> fds;
    std::vector<SRef> refs;
    const double tNow = Now();
    if (m_hOut >= 0)
    {
        fds.push_back({m_hOut, POLLIN, 0});
        refs.push_back({W_OUT, nullptr, nullptr});
    }
    if (m_hErr >= 0)
    {
        fds.push_back({m_hErr, POLLIN, 0});
        refs.push_back({W_ERR, nullptr, nullptr});
    }
    for (auto& pPort : m_ports)
    {
        SPort& port = *pPort;
        if (port.hApp >= 0 && port.tReadPausedUntil <= tNow)
        {
            fds.push_back({port.hApp, POLLIN, 0});
            refs.push_back({W_APP, &port, nullptr});
        }
        if (port.hListen >= 0)
        {
            fds.push_back({port.hListen, POLLIN, 0});
            refs.push_back({W_LISTEN, &port, nullptr});
        }
        if (port.hUdp >= 0)
        {
            fds.push_back({port.hUdp, POLLIN, 0});
            refs.push_back({W_UDP, &port, nullptr});
        }
        for (auto& pConn : port.conns)
        {
            if (pConn->bDead)
                continue;
            short nEvents = POLLIN;
            if (pConn->bConnecting || pConn->out.Pending() > 0)
                nEvents = pConn->bConnecting ? POLLOUT : POLLIN | POLLOUT;
            fds.push_back({pConn->h, nEvents, 0});
            refs.push_back({W_CONN, &port, pConn.get()});
        }
    }
    int nTimeout = 5;
    if (m_tWakeAt < tNow + 0.005)
        nTimeout = std::max(0, static_cast<int>((m_tWakeAt - tNow) * 1000.0));
    m_tWakeAt = 1e18;
    const int nReady = poll(fds.data(), fds.size(), nTimeout);
    const double tAfter = Now();
    if (nReady > 0)
    {
        for (size_t i = 0; i < fds.size(); ++i)
        {
            const short nRev = fds[i].revents;
            if (nRev == 0)
                continue;
            const SRef& ref = refs[i];
            switch (ref.what)
            {
            case W_OUT: ReadDaemon(m_hOut, false); break;
            case W_ERR: ReadDaemon(m_hErr, true); break;
            case W_APP:
                if (ref.pPort->hApp == fds[i].fd)
                    ReadApp(*ref.pPort);
                break;
            case W_LISTEN: AcceptConn(*ref.pPort); break;
            case W_CONN: OnConnEvent(*ref.pPort, *ref.pConn, nRev, tAfter); break;
            case W_UDP:
                if (ref.pPort->hUdp == fds[i].fd)
                    ReadUdp(*ref.pPort);
                break;
            }
        }
    }
    if (m_phase == EPhase::Run && tAfter >= m_tNextIncident)
        StartIncident(tAfter);
    if (m_phase != EPhase::Setup && m_phase != EPhase::Stopping)
    {
        for (auto& pPort : m_ports)
        {
            TickApp(*pPort, tAfter);
            TickPeer(*pPort, tAfter);
        }
    }
    if (tAfter - m_tLastDaemonCheck > 0.1)
    {
        m_tLastDaemonCheck = tAfter;
        CheckDaemon();
    }
    if (m_phase == EPhase::Run && tAfter >= m_tNextProgress)
    {
        m_tNextProgress = tAfter + 30.0;
        Progress(false);
    }
}

// Once a minute a client port's next open is a slow reader whose peer
// resets the connection just before the application closes.
void CSoak::StartIncident(double tNow)
{
    m_tNextIncident = tNow + 60.0;
    for (size_t k = 0; k < m_ports.size(); ++k)
    {
        SPort& port = *m_ports[(m_nIncidentNext + k) % m_ports.size()];
        if (port.mode != EMode::Client || port.app != EApp::Closed || port.bIncidentPending)
            continue;
        m_nIncidentNext = (m_nIncidentNext + k + 1) % m_ports.size();
        port.bIncidentPending = true;
        port.tNextOpen = tNow;
        return;
    }
}

bool CSoak::RunUntil(const std::function<bool()>& fnDone, double dTimeout, const std::string& strWhat)
{
    const double tEnd = Now() + dTimeout;
    while (!fnDone())
    {
        if (MustEnd())
            return false;
        if (Now() > tEnd)
        {
            Fail("timed out after " + Format("%.0f s", dTimeout) + " waiting for " + strWhat);
            return false;
        }
        Iterate();
    }
    return true;
}

void CSoak::Progress(bool bFinal)
{
    SampleUsage(m_pid, &m_usageNow);
    std::string str = bFinal ? "totals:" : Format("%.0f s of %d min:", Now() - m_tRunStart, m_nMinutes);
    for (int m = 0; m < 3; ++m)
        str += Format(" %s %s/%s", ModeName(static_cast<EMode>(m)), Mb(g_stats.nA2PBytes[m]).c_str(),
                      Mb(g_stats.nP2ABytes[m]).c_str());
    uint64_t nOpens = 0;
    uint64_t nStrict = 0;
    uint64_t nLenient = 0;
    uint64_t nAbrupt = 0;
    uint64_t nDrops = 0;
    uint64_t nHangups = 0;
    for (int m = 0; m < 3; ++m)
    {
        nOpens += g_stats.nOpens[m];
        nStrict += g_stats.nGracefulStrict[m] + g_stats.nFlushStrict[m];
        nLenient += g_stats.nGracefulLenient[m] + g_stats.nFlushLenient[m];
        nAbrupt += g_stats.nAbrupt[m];
        nDrops += g_stats.nDrops[m];
        nHangups += g_stats.nBridgeHangups[m];
    }
    str += Format(" (app->peer/peer->app checked); opens %" PRIu64 ", closes complete %" PRIu64 " checked + %" PRIu64
                  " after a drop, abrupt %" PRIu64 "; peer drops %" PRIu64 ", hang-ups %" PRIu64
                  "; slowest reaction %.2f s; nimbreld %s, CPU %.1f s; failures %d",
                  nOpens, nStrict, nLenient, nAbrupt, nDrops, nHangups, g_stats.dMaxReaction,
                  UsageText(m_usageNow).c_str(), m_usageNow.dCpu, g_nFailures);
    Say(str);
}

// Brings every port back to idle: applications close gracefully, server
// ports' backlogs are read, peers hang up, rows return to idle and the
// output goes quiet; then samples nimbreld.
bool CSoak::QuiesceAndSample(SUsage* pUsage, const std::string& strWhen)
{
    m_phase = EPhase::Quiesce;
    auto allClosed = [this] {
        for (auto& p : m_ports)
            if (p->app != EApp::Closed)
                return false;
        return true;
    };
    auto peersFlushed = [this] {
        for (auto& p : m_ports)
            for (auto& c : p->conns)
                if (!c->bDead && c->out.Pending() > 0)
                    return false;
        return true;
    };
    if (!RunUntil([&] { return allClosed() && peersFlushed(); }, 60.0, "the applications to close (" + strWhen + ")"))
        return false;
    m_phase = EPhase::Drain;
    auto allDrained = [this] {
        for (auto& p : m_ports)
            if (p->mode == EMode::Server && (!p->bDrained || p->app != EApp::Closed))
                return false;
        return true;
    };
    if (!RunUntil(allDrained, 60.0, "the server ports' backlogs (" + strWhen + ")"))
        return false;
    m_phase = EPhase::Disconnect;
    auto noConns = [this] {
        for (auto& p : m_ports)
            if (!p->conns.empty())
                return false;
        return true;
    };
    if (!RunUntil(noConns, 30.0, "the peers to hang up (" + strWhen + ")"))
        return false;
    m_phase = EPhase::Idle;
    auto idle = [this] {
        for (auto& p : m_ports)
            if (!RowIdle(*p))
                return false;
        return true;
    };
    if (!RunUntil(idle, 40.0, "every port to be idle (" + strWhen + ")"))
    {
        for (auto& p : m_ports)
            if (!RowIdle(*p))
                Fail(p->strName + " (" + ModeName(p->mode) + ") did not return to idle: " + RowText(*p));
        return false;
    }
    // Quiet: no line for a few seconds (a client connection in its last
    // drain, say, would still report).
    if (!RunUntil([this] { return Now() - m_tLastLine > 3.0; }, 40.0, "nimbreld to go quiet (" + strWhen + ")"))
        return false;
    const double tQuiet = Now() + 1.0;
    RunUntil([tQuiet] { return Now() > tQuiet; }, 5.0, "");
    if (!SampleUsage(m_pid, pUsage))
    {
        Fail("cannot read /proc of nimbreld");
        return false;
    }
    return true;
}

int CSoak::Main(int argc, char** argv)
{
    g_dT0 = Now();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!ParseArgs(argc, argv))
        return 2;
    m_rng = CRng(m_nSeed);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // Room for every port's descriptors, ours and the peers'.
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max)
    {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }

    char szWork[] = "/tmp/nimbrel-soak-XXXXXX";
    if (mkdtemp(szWork) == nullptr)
    {
        perror("mkdtemp");
        return 1;
    }
    m_strWork = szWork;
    m_strPortDir = m_strWork + "/ports";
    m_strConfig = m_strWork + "/nimbrel.ini";
    g_pLog = fopen((m_strWork + "/soak.log").c_str(), "w");

    for (int i = 0; i < m_nPorts; ++i)
    {
        const EMode mode = static_cast<EMode>(i % 3);
        auto pPort = std::make_unique<SPort>(i, mode);
        pPort->bEcho = mode == EMode::Client;
        pPort->strLink = m_strPortDir + "/" + pPort->strName;
        m_byCom[pPort->nCom] = pPort.get();
        m_ports.push_back(std::move(pPort));
    }
    int nCount[3] = {};
    for (auto& p : m_ports)
        ++nCount[ModeIndex(p->mode)];
    Say(Format("seed %" PRIu64 ", %d ports (%d client with echoing listeners, %d server dialled by stream peers, %d "
               "UDP with stream peers), %d min, rate x%.2f; work directory %s",
               m_nSeed, m_nPorts, nCount[0], nCount[1], nCount[2], m_nMinutes, m_dRate, m_strWork.c_str()));

    bool bOk = PickPorts();
    if (!bOk)
        Fail("cannot find free loopback ports below the ephemeral range");
    for (auto& p : m_ports)
        SetUpChecks(*p);
    if (bOk && !WriteConfig())
    {
        Fail("cannot write " + m_strConfig);
        bOk = false;
    }
    if (bOk && !StartDaemon())
    {
        Fail(std::string("cannot start nimbreld: ") + strerror(errno));
        bOk = false;
    }

    SUsage usageCreated;
    SUsage usageStart;
    SUsage usageEnd;
    bool bSampled = false;
    if (bOk)
    {
        m_phase = EPhase::Setup;
        bOk = RunUntil(
            [this] {
                if (!m_bSawPortDir)
                    return false;
                for (auto& p : m_ports)
                    if (!p->bCreated)
                        return false;
                return true;
            },
            120.0, "every port to be created");
        if (bOk)
        {
            // The start sequence's thread ends just after the last row.
            const double tWait = Now() + 2.0;
            RunUntil([tWait] { return Now() > tWait; }, 5.0, "");
            SampleUsage(m_pid, &usageCreated);
            Say("all " + std::to_string(m_nPorts) + " ports created; nimbreld " + UsageText(usageCreated));
        }
    }
    if (bOk && !MustEnd())
    {
        // One open of every port first, so that the start level holds what
        // a first connection sets up for good (allocator arenas, say).
        m_phase = EPhase::Warmup;
        for (auto& p : m_ports)
            ScheduleRun(*p, Now());
        const double tEnd = Now() + 5.0;
        RunUntil([tEnd] { return Now() > tEnd; }, 10.0, "");
        bOk = QuiesceAndSample(&usageStart, "after the warm-up");
        if (bOk)
            Say("start level, every port idle: nimbreld " + UsageText(usageStart));
    }
    if (bOk && !MustEnd())
    {
        m_phase = EPhase::Run;
        m_tRunStart = Now();
        m_tNextProgress = m_tRunStart + 30.0;
        for (auto& p : m_ports)
            ScheduleRun(*p, m_tRunStart);
        const double tEnd = m_tRunStart + 60.0 * m_nMinutes;
        RunUntil([tEnd] { return Now() > tEnd; }, 60.0 * m_nMinutes + 10.0, "");
        if (!MustEnd())
        {
            Say("soak time over; closing everything");
            bOk = QuiesceAndSample(&usageEnd, "at the end");
            bSampled = bOk;
            if (bOk)
                Say("end level, every port idle: nimbreld " + UsageText(usageEnd));
        }
    }
    if (g_bInterrupted)
        Fail("interrupted");

    // The daemon ends cleanly and leaves no port behind.
    if (!m_bDaemonGone && m_pid > 0)
    {
        m_phase = EPhase::Stopping;
        kill(m_pid, SIGTERM);
        RunUntil([this] { return m_bDaemonGone; }, 30.0, "nimbreld to end after SIGTERM");
        ReadDaemon(m_hOut, false);
        if (m_bDaemonGone)
        {
            if (!WIFEXITED(m_nExitStatus) || WEXITSTATUS(m_nExitStatus) != 0)
                Fail(Format("nimbreld ended with status 0x%x after SIGTERM", m_nExitStatus));
            if (!m_bSawStopped)
                Fail("nimbreld did not print \"Stopped.\"");
            if (DIR* pDir = opendir(m_strPortDir.c_str()))
            {
                while (struct dirent* pEnt = readdir(pDir))
                    if (pEnt->d_name[0] != '.')
                        Fail(std::string("left behind in the port directory: ") + pEnt->d_name);
                closedir(pDir);
            }
        }
    }
    Cleanup();

    Progress(true);
    uint64_t nResync = 0;
    uint64_t nCut = 0;
    uint64_t nGaps = 0;
    uint64_t nLate = 0;
    for (auto& p : m_ports)
    {
        nResync += p->appRx.m_nResyncs + p->udpRx.m_nResyncs;
        nCut += p->appRx.m_nCutEpochs + p->udpRx.m_nCutEpochs;
        nGaps += p->appRx.m_nGaps + p->udpRx.m_nGaps;
        nLate += p->appRx.m_nLateEpochs + p->udpRx.m_nLateEpochs;
    }
    Say(Format("frames checked: client %" PRIu64 "/%" PRIu64 ", server %" PRIu64 "/%" PRIu64 ", udp %" PRIu64
               "/%" PRIu64 "; accepts %" PRIu64 ", dials %" PRIu64 " (%" PRIu64 " refused), read pauses %" PRIu64
               ", nimbreld lines %" PRIu64,
               g_stats.nA2PFrames[0], g_stats.nP2AFrames[0], g_stats.nA2PFrames[1], g_stats.nP2AFrames[1],
               g_stats.nA2PFrames[2], g_stats.nP2AFrames[2], g_stats.nAccepts, g_stats.nDials, g_stats.nRefused,
               g_stats.nReadPauses, g_stats.nLines));
    for (int m = 0; m < 3; ++m)
        Say(Format("  %-6s opens %" PRIu64 "; closes: graceful %" PRIu64 " checked whole + %" PRIu64
                   " after a drop, write-then-close %" PRIu64 " checked whole + %" PRIu64
                   " after a drop, abrupt %" PRIu64 "; peer drops %" PRIu64 ", hang-ups by nimbreld %" PRIu64,
                   ModeName(static_cast<EMode>(m)), g_stats.nOpens[m], g_stats.nGracefulStrict[m],
                   g_stats.nGracefulLenient[m], g_stats.nFlushStrict[m], g_stats.nFlushLenient[m], g_stats.nAbrupt[m],
                   g_stats.nDrops[m], g_stats.nBridgeHangups[m]));
    Say(Format("%" PRIu64 " frames checked as part of their open's whole stream; %" PRIu64
               " re-opens within 0.5-5 ms of a close; %" PRIu64 " scripted slow-reader resets",
               g_stats.nStrictFrames, g_stats.nQuickReopens, g_stats.nIncidents));
    Say(Format("nimbreld showed %" PRIu64 " opens/closes, %" PRIu64
               " of them after more than %.0f s; slowest %.3f s (%s)",
               g_stats.nReactions, g_stats.nSlowReactions, SLOW_REACTION, g_stats.dMaxReaction,
               g_stats.strMaxReaction.c_str()));
    Say(Format("application side: %" PRIu64 " cut fragments at an open, %" PRIu64 " before a newer epoch, %" PRIu64
               " gaps where a connection began or the port was unbound, %" PRIu64
               " epochs not starting at 0; UDP overflow gaps %" PRIu64 " app->peer, %" PRIu64 " peer->app",
               nResync, nCut, nGaps, nLate, g_stats.nUdpOverflowA2P, g_stats.nUdpOverflowP2A));

    if (bSampled)
    {
        Say("nimbreld at creation: " + UsageText(usageCreated));
        Say("nimbreld at start:    " + UsageText(usageStart));
        Say("nimbreld at end:      " + UsageText(usageEnd));
        if (usageEnd.nFds > usageStart.nFds + 2)
            Fail(Format("descriptors grew from %d to %d", usageStart.nFds, usageEnd.nFds));
        if (usageEnd.nThreads > usageStart.nThreads)
            Fail(Format("threads grew from %d to %d", usageStart.nThreads, usageEnd.nThreads));
        if (usageEnd.nRssKb > usageStart.nRssKb + 2048)
            Fail(Format("resident memory grew from %ld kB to %ld kB", usageStart.nRssKb, usageEnd.nRssKb));
    }
    else if (g_nFailures == 0)
    {
        Fail("the run ended before the end sample");
    }

    if (g_pLog != nullptr)
        fclose(g_pLog);
    g_pLog = nullptr;
    if (g_nFailures == 0)
    {
        if (!m_bKeep)
        {
            unlink((m_strWork + "/soak.log").c_str());
            unlink(m_strConfig.c_str());
            unlink((m_strWork + "/lock").c_str());
            rmdir(m_strPortDir.c_str());
            rmdir(m_strWork.c_str());
        }
        Say("PASS");
        return 0;
    }
    Say(Format("FAIL: %d failure(s); log and settings kept in %s", g_nFailures, m_strWork.c_str()));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CSoak soak;
    return soak.Main(argc, argv);
}
