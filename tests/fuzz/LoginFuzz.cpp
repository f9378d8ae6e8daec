// SPDX-License-Identifier: Apache-2.0
// Fuzzes the login line readers: random bytes arrive in the receive ring
// (which starts at a random index, so lines wrap), ReadUser and ReadPassword
// take them in turn as the dialogue would, with prompts written into a
// transmit ring that is drained by random amounts.
//
// Invariants:
// - typed user name and password never exceed 20 characters;
// - both rings' indexes and counts stay consistent and in range;
// - a reader called with bytes waiting consumes at least one of them;
// - ReadPassword returns 0, 1 or 2, counts a try exactly when it returns
//   non-zero, and returns 1 only when both strings match;
// - the password's line end is CR or LF;
// - a text is written whole or not at all.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "core/engine/CLoginCtrl.h"
#include "tests/core/engine/TestRing.h"
#include "tests/fuzz/FuzzCheck.h"

using testsupport::Bytes;
using testsupport::CTestRing;

namespace
{

constexpr int RING = CTestRing::SIZE;

void CheckLogin(const CLoginCtrl& login)
{
    FUZZ_CHECK(login.m_strInUser.size() <= 20);
    FUZZ_CHECK(login.m_strInPassword.size() <= 20);
    FUZZ_CHECK(login.m_chEnd == 13 || login.m_chEnd == 10);
}

// Bytes with lines ends and short lines more often than random data has them.
uint8_t TypedByte(FuzzedDataProvider& fdp)
{
    const uint8_t by = fdp.ConsumeIntegral<uint8_t>();
    if (by < 32)
        return by % 2 == 0 ? 13 : 10;
    if (by < 48)
        return static_cast<uint8_t>('a' + by % 4);
    return by;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider fdp(pData, nSize);
    CLoginCtrl login;
    login.SetLogin(fdp.ConsumeRandomLengthString(25), fdp.ConsumeRandomLengthString(25));
    CTestRing rx(fdp.ConsumeIntegralInRange<int>(0, RING - 1));
    CTestRing tx(fdp.ConsumeIntegralInRange<int>(0, RING - 1));
    int bUserDone = 0;

    while (fdp.remaining_bytes() > 0)
    {
        switch (fdp.ConsumeIntegralInRange<int>(0, 5))
        {
        case 0:
        {
            // The receive step: never more than the ring's free room.
            const int nLen = fdp.ConsumeIntegralInRange<int>(0, 48);
            Bytes block;
            for (int k = 0; k < nLen && k < RING - rx.Count() && fdp.remaining_bytes() > 0; ++k)
                block.push_back(TypedByte(fdp));
            rx.Put(block);
            break;
        }
        case 1:
        {
            // The dialogue reads only while bytes wait.
            if (rx.Count() == 0)
                break;
            const int nBefore = rx.Count();
            if (bUserDone == 0)
            {
                const int nResult = login.ReadUser(rx);
                FUZZ_CHECK(nResult == 0 || nResult == 1);
                FUZZ_CHECK(nResult == 1 || rx.Count() == 0);
                bUserDone = nResult;
            }
            else
            {
                const uint32_t nTries = login.m_nTries;
                const int nResult = login.ReadPassword(rx);
                FUZZ_CHECK(nResult >= 0 && nResult <= 2);
                FUZZ_CHECK(login.m_nTries == nTries + (nResult != 0 ? 1u : 0u));
                FUZZ_CHECK(nResult != 0 || rx.Count() == 0);
                if (nResult == 1)
                {
                    FUZZ_CHECK(login.m_strInUser == login.m_strLoginUser);
                    FUZZ_CHECK(login.m_strInPassword == login.m_strLoginPassword);
                }
                if (nResult == 2)
                    FUZZ_CHECK(login.m_strInUser != login.m_strLoginUser ||
                               login.m_strInPassword != login.m_strLoginPassword);
                if (nResult != 0)
                    bUserDone = 0;  // a new attempt follows its prompt
            }
            FUZZ_CHECK(rx.Count() < nBefore);
            break;
        }
        case 2:
        {
            const int nBefore = tx.Count();
            const int nResult = login.PutLoginPrompt(tx);
            FUZZ_CHECK(nResult == (nBefore + 7 <= RING ? 1 : 0));
            FUZZ_CHECK(tx.Count() == nBefore + (nResult == 1 ? 7 : 0));
            if (nResult == 1)
            {
                FUZZ_CHECK(login.m_strInUser.empty() && login.m_strInPassword.empty() && login.m_chEnd == 13);
                bUserDone = 0;
            }
            break;
        }
        case 3:
        {
            const int nBefore = tx.Count();
            int nResult = 0;
            int nLen = 0;
            switch (fdp.ConsumeIntegralInRange<int>(0, 3))
            {
            case 0:
                nResult = login.PutBanner(tx);
                nLen = 25;
                break;
            case 1:
                nResult = login.PutPasswordPrompt(tx);
                nLen = 10;
                break;
            case 2:
                nResult = login.PutIncorrect(tx);
                nLen = 19;
                break;
            default:
                nResult = login.PutTimeout(tx);
                nLen = 17;
                break;
            }
            FUZZ_CHECK(nResult == (nBefore + nLen <= RING ? 1 : 0));
            FUZZ_CHECK(tx.Count() == nBefore + (nResult == 1 ? nLen : 0));
            break;
        }
        case 4:
        {
            // The send step takes some of the transmit ring.
            const int nTake = fdp.ConsumeIntegralInRange<int>(0, tx.Count());
            tx.Consume(nTake);
            break;
        }
        case 5:
        {
            // A new connection.
            login.Reset();
            FUZZ_CHECK(login.m_nTries == 0);
            login.SetLogin(fdp.ConsumeRandomLengthString(25), fdp.ConsumeRandomLengthString(25));
            break;
        }
        default:
            break;
        }
        FuzzCheckRing(rx);
        FuzzCheckRing(tx);
        CheckLogin(login);
    }
    return 0;
}
