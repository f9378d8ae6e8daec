// SPDX-License-Identifier: Apache-2.0
#pragma once

// The checked byte streams of the soak driver: frames, their encoding and
// the receiving side's checks.
//
// A frame is [kind][port][epoch u32][seq u32][len u16][payload][crc32], the
// payload a pure function of the header. It travels COBS-encoded between two
// zero bytes, so zero bytes only ever delimit frames: whatever a drop or a
// close cuts off leaves at most one undecodable fragment, and the receiver
// finds the next frame at the next zero byte. The epoch numbers one sender's
// run of frames (one application open, one peer connection); the sequence
// counts frames inside it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace soak
{

constexpr uint8_t KIND_APP = 0xA5;   // written by an application on a port
constexpr uint8_t KIND_PEER = 0x5A;  // written by a peer on the network side
constexpr size_t HEAD_SIZE = 12;
constexpr size_t TAIL_SIZE = 4;
constexpr size_t MAX_PAYLOAD = 600;
constexpr size_t MAX_BODY = HEAD_SIZE + MAX_PAYLOAD + TAIL_SIZE;
constexpr size_t MAX_ENCODED = MAX_BODY + MAX_BODY / 254 + 2;

struct SFrame
{
    uint8_t nKind = 0;
    uint8_t nPort = 0;
    uint32_t nEpoch = 0;
    uint32_t nSeq = 0;
    uint16_t nLen = 0;
};

inline uint64_t SplitMix(uint64_t& n)
{
    uint64_t z = (n += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class CRng
{
public:
    explicit CRng(uint64_t nSeed) : m_n(nSeed) {}
    uint64_t Next() { return SplitMix(m_n); }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    // lo..hi, both included.
    int Range(int nLo, int nHi) { return nLo + static_cast<int>(Below(static_cast<uint32_t>(nHi - nLo + 1))); }
    double Uniform(double dLo, double dHi)
    {
        return dLo + (dHi - dLo) * static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    }
    bool Chance(double dP) { return Uniform(0.0, 1.0) < dP; }

private:
    uint64_t m_n;
};

inline uint32_t Crc32(const uint8_t* p, size_t n)
{
    static const std::array<uint32_t, 256> s_table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        c = s_table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

inline void PutLe(uint8_t* p, uint64_t n, int nBytes)
{
    for (int k = 0; k < nBytes; ++k)
        p[k] = static_cast<uint8_t>(n >> (8 * k));
}

inline uint64_t GetLe(const uint8_t* p, int nBytes)
{
    uint64_t n = 0;
    for (int k = nBytes - 1; k >= 0; --k)
        n = (n << 8) | p[k];
    return n;
}

inline void FillPayload(const SFrame& f, uint8_t* p)
{
    uint64_t nState = f.nKind;
    nState = nState * 1000003u ^ f.nPort;
    nState = nState * 1000003u ^ f.nEpoch;
    nState = nState * 1000003u ^ f.nSeq;
    for (size_t k = 0; k < f.nLen; k += 8)
    {
        const uint64_t v = SplitMix(nState);
        const size_t n = f.nLen - k < 8 ? f.nLen - k : 8;
        memcpy(p + k, &v, n);
    }
}

inline void CobsEncode(const uint8_t* p, size_t n, std::vector<uint8_t>& out)
{
    size_t nCodeAt = out.size();
    out.push_back(0);
    uint8_t nCode = 1;
    for (size_t i = 0; i < n; ++i)
    {
        if (p[i] == 0)
        {
            out[nCodeAt] = nCode;
            nCodeAt = out.size();
            out.push_back(0);
            nCode = 1;
            continue;
        }
        out.push_back(p[i]);
        if (++nCode == 0xFF)
        {
            out[nCodeAt] = nCode;
            nCodeAt = out.size();
            out.push_back(0);
            nCode = 1;
        }
    }
    out[nCodeAt] = nCode;
}

inline bool CobsDecode(const uint8_t* p, size_t n, uint8_t* pOut, size_t nCap, size_t* pnOut)
{
    size_t i = 0;
    size_t o = 0;
    while (i < n)
    {
        const uint8_t nCode = p[i++];
        if (nCode == 0)
            return false;
        for (uint8_t k = 1; k < nCode; ++k)
        {
            if (i >= n || o >= nCap)
                return false;
            pOut[o++] = p[i++];
        }
        if (nCode != 0xFF && i < n)
        {
            if (o >= nCap)
                return false;
            pOut[o++] = 0;
        }
    }
    *pnOut = o;
    return true;
}

// Appends one frame, delimiters included; returns its encoded size.
inline size_t EncodeFrame(const SFrame& f, std::vector<uint8_t>& out)
{
    uint8_t body[MAX_BODY];
    body[0] = f.nKind;
    body[1] = f.nPort;
    PutLe(body + 2, f.nEpoch, 4);
    PutLe(body + 6, f.nSeq, 4);
    PutLe(body + 10, f.nLen, 2);
    FillPayload(f, body + HEAD_SIZE);
    const size_t nBody = HEAD_SIZE + f.nLen;
    PutLe(body + nBody, Crc32(body, nBody), 4);
    const size_t nStart = out.size();
    out.push_back(0);
    CobsEncode(body, nBody + TAIL_SIZE, out);
    out.push_back(0);
    return out.size() - nStart;
}

// A fragment between two zero bytes: true when it is one whole frame whose
// checksum and payload are right.
inline bool DecodeFrame(const uint8_t* p, size_t n, SFrame* pf)
{
    uint8_t body[MAX_BODY + 4];
    size_t nBody = 0;
    if (!CobsDecode(p, n, body, sizeof(body), &nBody) || nBody < HEAD_SIZE + TAIL_SIZE)
        return false;
    SFrame f;
    f.nKind = body[0];
    f.nPort = body[1];
    f.nEpoch = static_cast<uint32_t>(GetLe(body + 2, 4));
    f.nSeq = static_cast<uint32_t>(GetLe(body + 6, 4));
    f.nLen = static_cast<uint16_t>(GetLe(body + 10, 2));
    if (f.nLen > MAX_PAYLOAD || nBody != HEAD_SIZE + f.nLen + TAIL_SIZE)
        return false;
    if (Crc32(body, HEAD_SIZE + f.nLen) != static_cast<uint32_t>(GetLe(body + HEAD_SIZE + f.nLen, 4)))
        return false;
    uint8_t expect[MAX_PAYLOAD];
    FillPayload(f, expect);
    if (memcmp(expect, body + HEAD_SIZE, f.nLen) != 0)
        return false;
    *pf = f;
    return true;
}

// One sender's frames: a fresh epoch restarts the sequence at 0.
class CFrameSource
{
public:
    CFrameSource(uint8_t nKind, uint8_t nPort) : m_nKind(nKind), m_nPort(nPort) {}
    void NewEpoch(uint32_t nEpoch)
    {
        m_nEpoch = nEpoch;
        m_nSeq = 0;
    }
    uint32_t Epoch() const { return m_nEpoch; }
    uint32_t NextSeq() const { return m_nSeq; }
    // Appends one frame of a random size; returns its encoded size.
    size_t Append(std::vector<uint8_t>& out, CRng& rng)
    {
        SFrame f;
        f.nKind = m_nKind;
        f.nPort = m_nPort;
        f.nEpoch = m_nEpoch;
        f.nSeq = m_nSeq++;
        // Mostly short frames, some up to the largest.
        const int nLen = rng.Chance(0.5) ? rng.Range(0, 64) : rng.Range(0, static_cast<int>(MAX_PAYLOAD));
        f.nLen = static_cast<uint16_t>(nLen);
        return EncodeFrame(f, out);
    }

private:
    uint8_t m_nKind;
    uint8_t m_nPort;
    uint32_t m_nEpoch = 0;
    uint32_t m_nSeq = 0;
};

// The receiving end of one stream over one span (a connection, an open, a
// socket's life; Boundary starts the next). Inside a span, frames of one
// epoch must follow each other without a gap; an undecodable fragment is
// accepted only before the first frame of the span (the cut tail of what came
// before) or right before a newer epoch (a sender's cut). A gap is accepted
// only when fnGapOk says why it is legitimate.
class CStreamCheck
{
public:
    std::string m_strName;
    uint8_t m_nKind = 0;
    uint8_t m_nPort = 0;
    // A newer epoch must start at sequence 0 (a stream no one can cut at its head).
    bool m_bEpochFromZero = false;
    std::function<bool(const SFrame& prev, const SFrame& next)> m_fnGapOk;
    std::function<void(const SFrame& f, size_t nBytes)> m_fnGood;
    std::function<void(const std::string& strWhy)> m_fnFail;

    uint64_t m_nGoodBytes = 0;
    uint64_t m_nFrames = 0;
    uint64_t m_nResyncs = 0;     // undecodable fragments at a span's start
    uint64_t m_nCutEpochs = 0;   // undecodable fragments before a newer epoch
    uint64_t m_nGaps = 0;        // gaps accepted by fnGapOk
    uint64_t m_nLateEpochs = 0;  // newer epochs whose first frame was not 0

    bool m_bHave = false;
    SFrame m_last;

    void Boundary()
    {
        m_frag.clear();
        m_bOverflow = false;
        m_bHave = false;
        m_nPendingBad = 0;
    }

    void Feed(const uint8_t* p, size_t n)
    {
        while (n > 0)
        {
            const uint8_t* pZero = static_cast<const uint8_t*>(memchr(p, 0, n));
            const size_t nTake = pZero != nullptr ? static_cast<size_t>(pZero - p) : n;
            if (!m_bOverflow)
            {
                if (m_frag.size() + nTake > MAX_ENCODED)
                    m_bOverflow = true;
                else
                    m_frag.insert(m_frag.end(), p, p + nTake);
            }
            if (pZero == nullptr)
                return;
            if (!m_frag.empty() || m_bOverflow)
                Fragment();
            m_frag.clear();
            m_bOverflow = false;
            p += nTake + 1;
            n -= nTake + 1;
        }
    }

    std::string Where() const
    {
        if (!m_bHave)
            return "no frame yet";
        return "last epoch " + std::to_string(m_last.nEpoch) + " seq " + std::to_string(m_last.nSeq);
    }

private:
    void Fail(const std::string& str)
    {
        if (m_fnFail)
            m_fnFail(m_strName + ": " + str);
    }

    void Fragment()
    {
        SFrame f;
        const size_t nBytes = m_frag.size() + 2;
        if (m_bOverflow || !DecodeFrame(m_frag.data(), m_frag.size(), &f))
        {
            if (!m_bHave)
                ++m_nResyncs;
            else
                ++m_nPendingBad;
            return;
        }
        if (f.nKind != m_nKind || f.nPort != m_nPort)
        {
            Fail("frame of another stream (kind " + std::to_string(f.nKind) + " port index " + std::to_string(f.nPort) +
                 " epoch " + std::to_string(f.nEpoch) + " seq " + std::to_string(f.nSeq) + ")");
            return;
        }
        if (m_bHave)
        {
            if (f.nEpoch == m_last.nEpoch)
            {
                if (f.nSeq == m_last.nSeq + 1 && m_nPendingBad == 0)
                {
                }
                else if (f.nSeq > m_last.nSeq + 1 && m_fnGapOk && m_fnGapOk(m_last, f))
                {
                    ++m_nGaps;
                }
                else
                {
                    Fail("epoch " + std::to_string(f.nEpoch) + ": after seq " + std::to_string(m_last.nSeq) +
                         " came seq " + std::to_string(f.nSeq) +
                         (m_nPendingBad != 0 ? " with " + std::to_string(m_nPendingBad) + " damaged fragment(s) between"
                                             : std::string()));
                }
            }
            else if (f.nEpoch > m_last.nEpoch)
            {
                if (m_nPendingBad != 0)
                    ++m_nCutEpochs;
                if (f.nSeq != 0)
                {
                    ++m_nLateEpochs;
                    if (m_bEpochFromZero)
                        Fail("epoch " + std::to_string(f.nEpoch) + " began at seq " + std::to_string(f.nSeq) +
                             " instead of 0 (after epoch " + std::to_string(m_last.nEpoch) + " seq " +
                             std::to_string(m_last.nSeq) + ")");
                }
            }
            else
            {
                Fail("epoch went back from " + std::to_string(m_last.nEpoch) + " to " + std::to_string(f.nEpoch) +
                     " (seq " + std::to_string(f.nSeq) + ")");
            }
        }
        m_nPendingBad = 0;
        m_last = f;
        m_bHave = true;
        m_nGoodBytes += nBytes;
        ++m_nFrames;
        if (m_fnGood)
            m_fnGood(f, nBytes);
    }

    std::vector<uint8_t> m_frag;
    bool m_bOverflow = false;
    int m_nPendingBad = 0;
};

}  // namespace soak
