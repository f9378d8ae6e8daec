// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/COmbraPortAx.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core/bridge/CPortDcb.h"
#include "core/bridge/CPortHost.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CWorkerPort.h"

namespace
{

// The kernel's termios2, which carries the baud rate as a number. Declared
// here because <asm/termbits.h> cannot be included next to <termios.h>.
struct SKernelTermios2
{
    unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[19];
    unsigned int c_ispeed, c_ospeed;
};
constexpr unsigned long KERNEL_TCGETS2 = _IOR('T', 0x2A, SKernelTermios2);
constexpr unsigned long KERNEL_TCSETS2 = _IOW('T', 0x2B, SKernelTermios2);
// From <asm/termbits.h>: the baud rate is in c_ispeed / c_ospeed.
constexpr unsigned KERNEL_BOTHER = 0010000;
constexpr unsigned KERNEL_IBSHIFT = 16;

// The termios constant of a baud rate; the kernel's "other" for a rate
// without one.
unsigned BaudCode(uint32_t nRate)
{
    static const struct
    {
        uint32_t nRate;
        speed_t code;
    } RATES[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},         {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},       {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},     {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& rate : RATES)
        if (rate.nRate == nRate)
            return rate.code;
    return KERNEL_BOTHER;
}

bool IsPlainName(const std::string& strName)
{
    return !strName.empty() && strName != "." && strName != ".." && strName.find('/') == std::string::npos;
}

}  // namespace

COmbraPortAx::COmbraPortAx() = default;

COmbraPortAx::~COmbraPortAx()
{
    if (IsCreated())
        DeletePort();
}

void COmbraPortAx::Attach(int nId, CPortHost* pWatcher)
{
    m_nId = nId;
    m_pWatcher = pWatcher;
}

int COmbraPortAx::Fail(std::string strReason, bool bFinal)
{
    m_strError = std::move(strReason);
    m_bErrorFinal = bFinal;
    return 0;
}

bool COmbraPortAx::IsStaleLink(const std::string& strLink) const
{
    struct stat st;
    if (lstat(strLink.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    char szTarget[PATH_MAX];
    const ssize_t n = readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1);
    if (n <= 0)
        return false;
    const std::string strTarget(szTarget, static_cast<size_t>(n));
    // Only what this program makes: a link to /dev/pts/<number>.
    const std::string strPts = "/dev/pts/";
    if (strTarget.size() <= strPts.size() || strTarget.compare(0, strPts.size(), strPts) != 0 ||
        strTarget.find_first_not_of("0123456789", strPts.size()) != std::string::npos)
        return false;
    if (lstat(strTarget.c_str(), &st) != 0)
        return errno == ENOENT;
    return m_pWatcher != nullptr && m_pWatcher->IsOurSlave(strTarget);
}

bool COmbraPortAx::RemoveLinkTo(const std::string& strLink, const std::string& strTarget)
{
    char szTarget[PATH_MAX];
    const ssize_t n = readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1);
    if (n <= 0 || std::string(szTarget, static_cast<size_t>(n)) != strTarget)
        return false;
    return unlink(strLink.c_str()) == 0;
}

int COmbraPortAx::CreatePort(const std::string& strName)
{
    // No port directory yet (the watcher has not started): nowhere to link.
    if (m_pWatcher == nullptr || m_pWatcher->GetPortDirectory().empty())
        return Fail(strName + ": no port directory", true);
    if (!IsPlainName(strName) || IsCreated())
        return Fail(strName + ": not a port name, or created already", true);
    const std::string strLink = m_pWatcher->GetPortDirectory() + "/" + strName;
    {
        std::lock_guard<std::mutex> lock(m_csIo);
        m_strName = strName;
    }
    // An entry that is not ours stays, and waiting will not remove it.
    const std::string strNotOurs = strName + " exists in the port directory and is not ours";
    struct stat st;
    if (lstat(strLink.c_str(), &st) == 0)
    {
        if (!IsStaleLink(strLink))
            return Fail(strNotOurs, true);
        if (unlink(strLink.c_str()) != 0 && errno != ENOENT)
            return Fail(CErrorText::Errno(strLink, errno), true);
    }

    int hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (hMaster < 0)
        return Fail(CErrorText::Errno("posix_openpt", errno));
    char szSlave[128];
    if (grantpt(hMaster) != 0 || unlockpt(hMaster) != 0 || ptsname_r(hMaster, szSlave, sizeof(szSlave)) != 0)
    {
        const int nErrno = errno;
        close(hMaster);
        return Fail(CErrorText::Errno("pseudo-terminal", nErrno));
    }

    // Start raw and without echo, like a serial line with nothing
    // interpreting it. EXTPROC makes every later termios change of an
    // application show up as a packet-mode status byte. Opening the slave
    // once also makes "never opened" read as hung up, i.e. closed.
    int hSlave = open(szSlave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (hSlave < 0)
    {
        const int nErrno = errno;
        close(hMaster);
        return Fail(CErrorText::Errno(szSlave, nErrno));
    }
    struct termios t;
    if (tcgetattr(hSlave, &t) == 0)
    {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_lflag |= EXTPROC;
        cfsetspeed(&t, B9600);
        tcsetattr(hSlave, TCSANOW, &t);
    }
    close(hSlave);

    int nOn = 1;
    if (ioctl(hMaster, TIOCPKT, &nOn) != 0)
    {
        const int nErrno = errno;
        close(hMaster);
        return Fail(CErrorText::Errno("pseudo-terminal", nErrno));
    }
    if (symlink(szSlave, strLink.c_str()) != 0)
    {
        const int nErrno = errno;
        close(hMaster);
        // Something put an entry there since the look above.
        if (nErrno == EEXIST)
            return Fail(strNotOurs, true);
        // The directory refuses us or is gone: no later attempt fares better.
        const bool bFinal = nErrno == EACCES || nErrno == EPERM || nErrno == EROFS || nErrno == ENOENT ||
                            nErrno == ENOTDIR || nErrno == ENAMETOOLONG;
        return Fail(CErrorText::Errno(strLink, nErrno), bFinal);
    }

    {
        std::lock_guard<std::mutex> lock(m_csIo);
        m_hMaster = hMaster;
        m_strLinkPath = strLink;
        m_strSlavePath = szSlave;
        m_nStageOut = m_nStageCount = 0;
        m_nLastReported = 0;
    }
    m_bLinkA = m_bLinkB = m_bAux = 0;
    m_bCts = 1;
    if (m_bWineLink == 1)
        m_wineLink.Create(strName, szSlave);
    m_pWatcher->AddPort(this, szSlave, hMaster);
    m_strError.clear();
    m_bErrorFinal = false;
    return 1;
}

int COmbraPortAx::DeletePort()
{
    // Out of the watcher first: it must not touch the master once closed.
    if (m_pWatcher != nullptr)
        m_pWatcher->RemovePort(this);
    m_wineLink.Remove();

    std::string strLink;
    std::string strSlave;
    int bRemoved = 0;
    {
        std::lock_guard<std::mutex> lock(m_csIo);
        if (m_hMaster >= 0)
        {
            close(m_hMaster);
            m_hMaster = -1;
            bRemoved = 1;
        }
        strLink = m_strLinkPath;
        strSlave = m_strSlavePath;
        if (strLink.empty() && m_pWatcher != nullptr && !m_pWatcher->GetPortDirectory().empty() &&
            IsPlainName(m_strName))
            strLink = m_pWatcher->GetPortDirectory() + "/" + m_strName;
        m_strLinkPath.clear();
        m_strSlavePath.clear();
        m_nStageOut = m_nStageCount = 0;
    }
    // Our own link only while it still points at our pty (a user may have
    // put another there meanwhile); otherwise only a stale one of ours.
    if (!strLink.empty())
    {
        if (!strSlave.empty() ? RemoveLinkTo(strLink, strSlave)
                              : IsStaleLink(strLink) && unlink(strLink.c_str()) == 0)
            bRemoved = 1;
    }
    return bRemoved;
}

int COmbraPortAx::PortExists(const std::string& strName)
{
    if (m_pWatcher == nullptr || m_pWatcher->GetPortDirectory().empty() || !IsPlainName(strName))
        return 0;
    struct stat st;
    return lstat((m_pWatcher->GetPortDirectory() + "/" + strName).c_str(), &st) == 0 ? 1 : 0;
}

long COmbraPortAx::WriteData(const unsigned char* pData, long nLength)
{
    if (pData == nullptr || nLength <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_csIo);
    if (m_hMaster < 0)
        return 0;
    for (;;)
    {
        ssize_t n = write(m_hMaster, pData, static_cast<size_t>(nLength));
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return 0;
    }
}

void COmbraPortAx::FillLocked()
{
    if (m_hMaster < 0)
        return;
    if (m_nStageOut > 0)
    {
        memmove(m_stage + 1, m_stage + 1 + m_nStageOut, static_cast<size_t>(m_nStageCount));
        m_nStageOut = 0;
    }
    // Packet mode: every read starts with a status byte; 0 means data follows,
    // anything else is a status report on its own. The read goes straight
    // into the stage, its status byte onto the byte before the room, which
    // is kept aside and put back.
    while (m_nStageCount < STAGE_SIZE)
    {
        const size_t nRoom = static_cast<size_t>(STAGE_SIZE - m_nStageCount);
        unsigned char* pAt = m_stage + m_nStageCount;
        const unsigned char chKept = *pAt;
        ssize_t n = read(m_hMaster, pAt, nRoom + 1);
        const unsigned char chStatus = *pAt;
        *pAt = chKept;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (chStatus != TIOCPKT_DATA)
        {
            NoteStatus(chStatus);
            m_bSettingsDirty = 1;
            if (m_pWatcher != nullptr)
                m_pWatcher->SettingsMayHaveChanged(this);
            continue;
        }
        m_nStageCount += static_cast<int>(n - 1);
        // A short read emptied the pty for now; asking again would only
        // cost a call that finds nothing.
        if (static_cast<size_t>(n - 1) < nRoom)
            break;
    }
}

long COmbraPortAx::KernelQueuedLocked() const
{
    int nAvail = 0;
    if (m_hMaster < 0 || ioctl(m_hMaster, FIONREAD, &nAvail) != 0 || nAvail < 0)
        return 0;
    return nAvail;
}

long COmbraPortAx::ReadData(unsigned char* pData, long nRoom)
{
    if (pData == nullptr || nRoom <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_csIo);
    if (m_nStageCount < nRoom)
        FillLocked();
    const long n = std::min<long>(nRoom, m_nStageCount);
    if (n > 0)
    {
        memcpy(pData, m_stage + 1 + m_nStageOut, static_cast<size_t>(n));
        m_nStageOut += static_cast<int>(n);
        m_nStageCount -= static_cast<int>(n);
        if (m_nStageCount == 0)
            m_nStageOut = 0;
    }
    if (m_nLastReported > m_nStageCount)
        m_nLastReported = m_nStageCount;
    return n;
}

long COmbraPortAx::BytesToRead()
{
    long nCount;
    int bGrew = 0;
    {
        std::lock_guard<std::mutex> lock(m_csIo);
        // Flow control needs the exact count, so the stage is kept full and
        // the rest counted. Without it a worker's block is all anyone needs:
        // the pty is read (and the stage moved) only below that.
        const bool bExact = m_bQueuedReports != 0;
        if (bExact || m_nStageCount < REFILL_LEVEL)
            FillLocked();
        // Only a full stage can leave bytes behind in the pty.
        nCount = m_nStageCount + (bExact && m_nStageCount == STAGE_SIZE ? KernelQueuedLocked() : 0);
        if (nCount > m_nLastReported)
            bGrew = 1;
        m_nLastReported = nCount;
    }
    if (bGrew && nCount >= QUEUED_REPORT_LEVEL && m_bQueuedReports && m_pWatcher != nullptr)
        m_pWatcher->PostDataQueued(this);
    return nCount;
}

long COmbraPortAx::QueuedCount()
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return m_nStageCount + KernelQueuedLocked();
}

void COmbraPortAx::SetQueuedReports(int bOn)
{
    std::lock_guard<std::mutex> lock(m_csIo);
    // Turned on: what waits already is reported at the next count.
    if (bOn && !m_bQueuedReports)
        m_nLastReported = 0;
    m_bQueuedReports = bOn ? 1 : 0;
}

void COmbraPortAx::ResetPort()
{
    // The close drained what the application wrote; anything still waiting
    // can only be the next application's, which may already have opened the
    // port: nothing is thrown away here.
    std::lock_guard<std::mutex> lock(m_csIo);
    m_nLastReported = m_nStageCount;
}

std::string COmbraPortAx::GetLinkPath() const
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return m_strLinkPath;
}

std::string COmbraPortAx::GetSlavePath() const
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return m_strSlavePath;
}

void COmbraPortAx::ReportHangUp()
{
    if (m_pWatcher != nullptr && IsCreated())
        m_pWatcher->ReportHangUp(this);
}

int COmbraPortAx::GetPollHandle() const
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return m_hMaster;
}

int COmbraPortAx::IsCreated() const
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return m_hMaster >= 0 ? 1 : 0;
}

int COmbraPortAx::IsSlaveOpen()
{
    std::lock_guard<std::mutex> lock(m_csIo);
    if (m_hMaster < 0)
        return 0;
    struct pollfd p = {m_hMaster, 0, 0};
    int n;
    do
        n = poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return (n >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) ? 1 : 0;
}

int COmbraPortAx::ReadControl()
{
    std::lock_guard<std::mutex> lock(m_csIo);
    if (m_hMaster < 0)
        return 0;
    // A one-byte read returns a pending status byte alone; without one it
    // returns just the data marker and takes no data byte.
    unsigned char ch = 0;
    ssize_t n;
    do
        n = read(m_hMaster, &ch, 1);
    while (n < 0 && errno == EINTR);
    if (n != 1)
        return 0;
    NoteStatus(ch);
    if ((ch & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0 && m_fnFlushWake)
        m_fnFlushWake();
    return ch;
}

void COmbraPortAx::SetFlushWake(std::function<void()> fnWake)
{
    std::lock_guard<std::mutex> lock(m_csIo);
    m_fnFlushWake = std::move(fnWake);
}

void COmbraPortAx::NoteStatus(unsigned char byStatus)
{
    unsigned nFlushes = 0;
    if (byStatus & TIOCPKT_FLUSHREAD)
        nFlushes |= CWorkerPort::FLUSH_RECEIVE;
    if (byStatus & TIOCPKT_FLUSHWRITE)
        nFlushes |= CWorkerPort::FLUSH_TRANSMIT;
    if (nFlushes != 0)
        m_nFlushes.fetch_or(nFlushes);
}

CComPortOption::SSettings COmbraPortAx::ApplySerialSettings(const CComPortOption::SSettings& wanted)
{
    using EParity = CComPortOption::EParity;
    using EStopBits = CComPortOption::EStopBits;
    CComPortOption::SSettings now;
    {
        std::lock_guard<std::mutex> lock(m_csIo);
        SKernelTermios2 t2;
        if (m_hMaster < 0 || ioctl(m_hMaster, KERNEL_TCGETS2, &t2) != 0)
            return wanted;
        // Termios calls on the master reach the slave's settings, which
        // are what the application reads.
        t2.c_cflag &= ~static_cast<unsigned>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        static const unsigned SIZES[] = {CS5, CS6, CS7, CS8};
        if (wanted.nDataBits >= 5 && wanted.nDataBits <= 8)
            t2.c_cflag |= SIZES[wanted.nDataBits - 5];
        else
            t2.c_cflag |= CS8;
        if (wanted.parity == EParity::Odd || wanted.parity == EParity::Mark)
            t2.c_cflag |= PARENB | PARODD;
        else if (wanted.parity == EParity::Even || wanted.parity == EParity::Space)
            t2.c_cflag |= PARENB;
        if (wanted.parity == EParity::Mark || wanted.parity == EParity::Space)
            t2.c_cflag |= CMSPAR;
        if (wanted.stopBits == EStopBits::Two || wanted.stopBits == EStopBits::OneAndHalf)
            t2.c_cflag |= CSTOPB;
        if (wanted.nBaudRate != 0)
        {
            // A rate of the usual list goes by its constant, so that a
            // program reading cfgetospeed() finds it.
            const unsigned nCode = BaudCode(wanted.nBaudRate);
            t2.c_cflag &= ~static_cast<unsigned>(CBAUD | (CBAUD << KERNEL_IBSHIFT));
            t2.c_cflag |= nCode | (nCode << KERNEL_IBSHIFT);
            t2.c_ispeed = wanted.nBaudRate;
            t2.c_ospeed = wanted.nBaudRate;
        }
        ioctl(m_hMaster, KERNEL_TCSETS2, &t2);
        struct termios t;
        if (ioctl(m_hMaster, KERNEL_TCGETS2, &t2) != 0 || tcgetattr(m_hMaster, &t) != 0)
            return wanted;
        const CPortDcb dcb = CPortDcb::FromTermios(t, t2.c_ospeed);
        now = CComPortOption::FromLine(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
    }
    // A change made from this side raises no status byte: the watcher
    // must look for itself, so the list shows it too.
    if (m_pWatcher != nullptr)
        m_pWatcher->SettingsMayHaveChanged(this);
    return now;
}

int COmbraPortAx::GetTermios(struct termios* pTermios)
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return (m_hMaster >= 0 && tcgetattr(m_hMaster, pTermios) == 0) ? 1 : 0;
}

int COmbraPortAx::SetTermios(const struct termios* pTermios)
{
    std::lock_guard<std::mutex> lock(m_csIo);
    return (m_hMaster >= 0 && tcsetattr(m_hMaster, TCSANOW, pTermios) == 0) ? 1 : 0;
}

unsigned int COmbraPortAx::GetBaudRate()
{
    std::lock_guard<std::mutex> lock(m_csIo);
    SKernelTermios2 t2;
    if (m_hMaster < 0 || ioctl(m_hMaster, KERNEL_TCGETS2, &t2) != 0)
        return 0;
    return t2.c_ospeed;
}
