// SPDX-License-Identifier: Apache-2.0
// Fuzzes the Telnet receive filter and negotiation writer: random blocks cut
// at random points go through Filter, interleaved with PutNegotiation into a
// transmit ring that is drained by random amounts.
//
// Invariants:
// - Filter never grows a block and never leaves a negative count;
// - the data Filter keeps does not depend on where the blocks were cut;
// - the transmit ring's indexes and count stay consistent and in range;
// - what PutNegotiation writes is Telnet commands only (a peer's filter
//   finds no data in it);
// - when IsNegotiated says 1, PutNegotiation has nothing to write;
// - EscapeIac output passes back through Filter unchanged.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "core/engine/CComPortOption.h"
#include "core/engine/CTelnetCtrl.h"
#include "tests/core/engine/TestRing.h"
#include "tests/fuzz/FuzzCheck.h"

using testsupport::Bytes;
using testsupport::CTestRing;

namespace
{

constexpr int RING = CTestRing::SIZE;

Bytes FilterAll(CTelnetCtrl& telnet, Bytes by)
{
    int n = static_cast<int>(by.size());
    telnet.Filter(by.data(), n);
    FUZZ_CHECK(n >= 0);
    FUZZ_CHECK(n <= static_cast<int>(by.size()));
    by.resize(static_cast<size_t>(n));
    return by;
}

// The received stream since the last Init, and the data split filtering kept
// from it; checked against one whole pass of a fresh filter.
struct CStream
{
    int nRole = 0;
    bool bComPort = false;
    Bytes received;
    Bytes data;

    void Check() const
    {
        CTelnetCtrl whole;
        whole.EnableComPortControl(bComPort);
        whole.Init(nRole);
        FUZZ_CHECK(FilterAll(whole, received) == data);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider fdp(pData, nSize);
    CTelnetCtrl telnet;
    CTelnetCtrl peer;  // reads what we send
    peer.Init(0);
    CStream stream;
    stream.nRole = fdp.ConsumeIntegralInRange<int>(0, 1);
    stream.bComPort = fdp.ConsumeBool();
    telnet.EnableComPortControl(stream.bComPort);
    telnet.Init(stream.nRole);
    CTestRing tx(fdp.ConsumeIntegralInRange<int>(0, RING - 1));

    while (fdp.remaining_bytes() > 0)
    {
        switch (fdp.ConsumeIntegralInRange<int>(0, 5))
        {
        case 0:
        {
            // A received block; a larger share of IAC and command bytes than
            // random data would give.
            const size_t nLen = fdp.ConsumeIntegralInRange<size_t>(0, 64);
            Bytes block;
            for (size_t k = 0; k < nLen && fdp.remaining_bytes() > 0; ++k)
            {
                const uint8_t by = fdp.ConsumeIntegral<uint8_t>();
                block.push_back(by < 64 ? static_cast<uint8_t>(240 + by % 16) : by);
            }
            stream.received.insert(stream.received.end(), block.begin(), block.end());
            const Bytes data = FilterAll(telnet, block);
            stream.data.insert(stream.data.end(), data.begin(), data.end());
            // COM port control keeps no more than its bounds, whatever comes.
            FUZZ_CHECK(telnet.m_vecSub.size() <= CComPortOption::MAX_PAYLOAD);
            const auto messages = telnet.TakeComPortMessages();
            FUZZ_CHECK(messages.size() <= CTelnetCtrl::MAX_COM_PORT_MESSAGES);
            FUZZ_CHECK(stream.bComPort || messages.empty());
            for (const auto& message : messages)
                FUZZ_CHECK(message.size() <= CComPortOption::MAX_PAYLOAD);
            break;
        }
        case 1:
        {
            const int nBefore = tx.Count();
            const int nInBefore = tx.WriteIndex();
            FUZZ_CHECK(telnet.PutNegotiation(tx) == 1);
            FuzzCheckRing(tx);
            FUZZ_CHECK(tx.Count() >= nBefore);
            FUZZ_CHECK((nInBefore + tx.Count() - nBefore) % RING == tx.WriteIndex());
            break;
        }
        case 2:
        {
            // The send step takes some of the ring; the peer reads it.
            const int nTake = fdp.ConsumeIntegralInRange<int>(0, tx.Count());
            Bytes sent = tx.Peek(tx.ReadIndex(), nTake);
            tx.Consume(nTake);
            FuzzCheckRing(tx);
            FUZZ_CHECK(FilterAll(peer, sent).empty());
            break;
        }
        case 3:
        {
            const int bDone = telnet.IsNegotiated();
            FUZZ_CHECK(bDone == 0 || bDone == 1);
            if (bDone == 1)
            {
                CTelnetCtrl copy = telnet;
                CTestRing scratch;
                copy.PutNegotiation(scratch);
                FUZZ_CHECK(scratch.Count() == 0);
            }
            break;
        }
        case 4:
        {
            stream.Check();
            stream = CStream();
            stream.nRole = fdp.ConsumeIntegralInRange<int>(0, 1);
            telnet.Init(stream.nRole);
            break;
        }
        case 5:
        {
            const Bytes plain = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 32));
            const int nRoom = fdp.ConsumeIntegralInRange<int>(0, 70);
            Bytes out(static_cast<size_t>(nRoom) + 1);
            int nConsumed = -1;
            const int n = CTelnetCtrl::EscapeIac(plain.data(), static_cast<int>(plain.size()), out.data(), nRoom,
                                                 &nConsumed);
            FUZZ_CHECK(n >= 0 && n <= nRoom);
            FUZZ_CHECK(nConsumed >= 0 && nConsumed <= static_cast<int>(plain.size()));
            // It stops only when the next byte (or pair) would not fit.
            if (nConsumed < static_cast<int>(plain.size()))
                FUZZ_CHECK(n + (plain[static_cast<size_t>(nConsumed)] == TELNET_IAC ? 2 : 1) > nRoom);
            out.resize(static_cast<size_t>(n));
            CTelnetCtrl fresh;
            fresh.Init(0);
            FUZZ_CHECK(FilterAll(fresh, out) == Bytes(plain.begin(), plain.begin() + nConsumed));
            break;
        }
        default:
            break;
        }
    }
    stream.Check();
    return 0;
}
