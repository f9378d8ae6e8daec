// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "core/model/CPortEntry.h"

// The port table: configuration and run-time flags of the 256 virtual ports,
// addressed by port index 0..255 (index n is "COM<n+1>").
//
// There is no lock. Configuration is written on the owner thread only while
// the ports are stopped and read by the workers while they run, so it never
// changes under a reader. m_bOpen and m_bRunning do change while workers
// run, hence they are atomics (relaxed: each is a lone flag that orders
// nothing else).
//
// Every accessor treats an index outside 0..255 (negative ones included) as
// absent: getters return 0 or an empty string, setters do nothing. Setters
// store the value as given; range checks belong to the dialogs.
class CCOMData
{
public:
    static constexpr int PORT_COUNT = 256;

    CCOMData();
    virtual ~CCOMData();

    CCOMData(const CCOMData&) = delete;
    CCOMData& operator=(const CCOMData&) = delete;

    // Any thread (configuration readers: see the class comment).
    std::string GetIPAddress(int nPort) const;
    int GetPeerPort(int nPort) const;
    int GetLocPort(int nPort) const;
    int GetUse(int nPort) const;
    int GetEnable(int nPort) const;
    int GetSystemPort(int nPort) const;
    int GetOpen(int nPort) const;
    int GetSSL(int nPort) const;
    int GetKeepAlive(int nPort) const;
    int GetMode(int nPort) const;
    int GetConnectType(int nPort) const;

    // Owner thread, while the ports are stopped.
    void SetIPAddress(int nPort, std::string strIP);
    void SetPeerPort(int nPort, int nValue);
    void SetLocPort(int nPort, int nValue);
    void SetUse(int nPort, int nValue);
    void SetEnable(int nPort, int nValue);
    void SetSSL(int nPort, int nValue);
    void SetKeepAlive(int nPort, int nValue);
    void SetMode(int nPort, int nValue);
    void SetConnectType(int nPort, int nValue);

    // Owner thread, from the port event handlers; read from any thread.
    void SetOpen(int nPort, int nValue);

    // Owner thread. The configuration of one entry as a value (m_bOpen and
    // m_bSystemPort are run-time state and not part of it); an index out
    // of range reads as a default entry and is not written.
    CPortEntry GetEntry(int nPort) const;
    void SetEntry(int nPort, const CPortEntry& entry);
    // Owner thread: marks in m_bSystemPort every COM number that already
    // exists on the machine, after clearing all 256 entries:
    // - COM(n+1) for every serial port ttySn under strSysRoot/class/tty
    //   ("/sys" on a live system) that has a UART. A serial-core port shows
    //   its UART in the "type" attribute (PORT_* of the kernel's serial_core,
    //   0 PORT_UNKNOWN: the 8250 driver registers placeholder ports, ttyS0 to
    //   ttyS31 by default, with type 0 when no chip answered). A port without
    //   that attribute is not a serial-core port; it counts when a driver is
    //   bound to its device (device/driver exists).
    // - COMn for every entry named exactly "COMn" in strPortDir (link, file
    //   or anything else: it would block a port of that name) for which
    //   fnCreatedHere(n - 1) is false, i.e. that this program did not create.
    // Names outside COM1..COM256 are ignored; an unreadable directory or
    // attribute only leaves fewer entries marked. Reads the file system only.
    void ScanSystemPorts(const std::string& strSysRoot, const std::string& strPortDir,
                         const std::function<bool(int nPort)>& fnCreatedHere = {});

    // Owner thread: COM number nPort may be added, being neither configured
    // nor marked present on the machine by the last ScanSystemPorts.
    bool IsFreeNumber(int nPort) const
    {
        return IsPortIndex(nPort) && GetUse(nPort) != 1 && GetSystemPort(nPort) != 1;
    }
    bool HasFreeNumber() const;
    // Owner thread: every number IsFreeNumber allows, ascending.
    std::vector<int> FreeNumbers() const;

    // Owner thread: sets m_nEnableCount to the number of used and enabled
    // entries; the one place that counts them after a whole configuration
    // changes.
    void RecountEnabled();

    static bool IsPortIndex(int nPort) { return static_cast<unsigned>(nPort) < static_cast<unsigned>(PORT_COUNT); }

private:
    template <typename T>
    using PerPort = std::array<T, PORT_COUNT>;

    PerPort<std::string> m_strIPAddress;
    PerPort<int> m_nPeerPort;
    PerPort<int> m_nLocPort;

public:
    // 1 while the ports are started. Written by the Start/Stop sequence on
    // the owner thread, read by any thread.
    std::atomic<int> m_bRunning{0};

private:
    PerPort<int> m_bUse;
    PerPort<int> m_bEnable;
    PerPort<int> m_bSystemPort;
    PerPort<std::atomic<int>> m_bOpen;
    PerPort<int> m_bSSL;
    PerPort<int> m_bKeepAlive;
    PerPort<int> m_nMode;
    PerPort<int> m_nConnectType;
    PerPort<bool> m_bComPortControl{};
    PerPort<int> m_nComPortDataBits{};
    PerPort<ELineParity> m_comPortParity{};
    PerPort<bool> m_bTlsVerify{};
    PerPort<std::string> m_strTlsPin;

public:
    // Number of entries with m_bEnable 1, kept by hand by whoever changes an
    // entry's enable flag. Owner thread only.
    int m_nEnableCount = 0;
};
