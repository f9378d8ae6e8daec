// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

// Port modes (m_nMode).
constexpr int MODE_TCP_CLIENT = 0;
constexpr int MODE_TCP_SERVER = 1;
constexpr int MODE_UDP = 2;

// Connection types (m_nConnectType).
constexpr int CONNECT_RAW = 0;     // "Raw Connection Port"
constexpr int CONNECT_SECURE = 1;  // "Secure Connection Port"
constexpr int CONNECT_TELNET = 2;  // "Telnet"

// The parity a COM port control client asks the device server for; Program
// sends what the program set. The values are the option's own codes.
enum class ELineParity : uint8_t
{
    Program = 0,
    None = 1,
    Odd = 2,
    Even = 3,
    Mark = 4,
    Space = 5,
};

// One port's configuration as a value: what the port dialog fills, the
// settings file holds and the port table stores per port.
class CPortEntry
{
public:
    // Peer and local ports the dialog and the settings file accept.
    static constexpr int PORT_MIN = 0;
    static constexpr int PORT_MAX = 65535;
    static constexpr const char* ADDRESS_ERROR = "IPAddress : Format Error (IPv4, IPv6 or host name)";

    // The port dialog's check of its three fields, in the dialog's order;
    // on success the numbers are stored in m_nPeerPort and m_nLocPort and
    // the address in m_strIPAddress. 0 with the first failure's message
    // ("IPAddress : Empty Error", "Port : Empty Error",
    // "Port : Range Error (0 - 65535)", then ADDRESS_ERROR for an address
    // that is none of IsAddress's forms: it could never be loaded again)
    // otherwise, and nothing changed.
    int SetFields(const std::string& strIPAddress, const std::string& strPeerPort, const std::string& strLocPort,
                  std::string* pMessage);

    // What a port of its mode can be: a UDP port has no TLS and is raw, a
    // client port is never a Secure Connection Port.
    void Normalise();

    static bool IsPortNumber(long n) { return n >= PORT_MIN && n <= PORT_MAX; }
    // A peer address the ports can use: a dotted IPv4 address (as inet_aton
    // reads it), an IPv6 address (also in brackets) or a host name.
    // "999.1.1.1" is none of them.
    static bool IsAddress(const std::string& strAddress);

    // Whether the port speaks COM port control: switched on, and a Telnet
    // port over TCP (the switch is kept, but means nothing, elsewhere).
    bool UsesComPortControl() const
    {
        return m_bComPortControl && m_nMode != MODE_UDP && m_nConnectType == CONNECT_TELNET;
    }
    // The data bits a COM port control client asks for (0: the program's).
    static constexpr int COM_DATA_BITS_MIN = 5;
    static constexpr int COM_DATA_BITS_MAX = 8;

    // A TLS client port's pin as the settings hold it: a SHA-256
    // fingerprint in the form `openssl x509 -noout -fingerprint -sha256`
    // prints (64 upper-case hex digits in pairs joined by colons). Takes it
    // typed with or without colons, spaces, in either case, or after that
    // command's "sha256 Fingerprint=". Empty text is no pin. false when it
    // is none of these; *pPin is left alone then.
    static bool ParsePin(const std::string& strText, std::string* pPin);
    // Whether the port checks its peer's certificate before it carries data:
    // a TLS client port with verification or a pin.
    bool ChecksPeerCertificate() const
    {
        return m_nMode == MODE_TCP_CLIENT && m_bSSL == 1 && (m_bTlsVerify || !m_strTlsPin.empty());
    }

    bool operator==(const CPortEntry&) const = default;

    int m_bUse = 0;
    int m_bEnable = 0;
    int m_nMode = MODE_TCP_CLIENT;
    int m_nConnectType = CONNECT_RAW;
    int m_bSSL = 0;
    int m_bKeepAlive = 0;
    std::string m_strIPAddress = "0.0.0.0";
    int m_nPeerPort = 0;
    int m_nLocPort = 0;
    // COM port control (off in files without its keys).
    bool m_bComPortControl = false;
    int m_nComPortDataBits = 0;
    ELineParity m_comPortParity = ELineParity::Program;
    // TLS client ports (off in files without their keys): check the peer's
    // chain and name, or accept exactly the certificate of this pin (which
    // then decides alone).
    bool m_bTlsVerify = false;
    std::string m_strTlsPin;
};
