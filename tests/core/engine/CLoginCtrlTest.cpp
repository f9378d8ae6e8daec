// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CLoginCtrl.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/core/engine/TestRing.h"

using namespace testsupport;

namespace
{

constexpr int RING = CTestRing::SIZE;

// One login attempt as a peer types it.
struct LoginRow
{
    const char* pszName;
    std::string strUser;      // configured
    std::string strPassword;  // configured
    std::string strTyped;     // user line, password line and whatever follows
    int nExpected;            // ReadPassword's result
    std::string strInUser;    // what the user name line left
    std::string strInPassword;
    int nLeft;  // bytes still in the receive ring afterwards
};
// Failure messages name the row instead of dumping its bytes.
void PrintTo(const LoginRow& row, std::ostream* pOut)
{
    *pOut << row.pszName;
}

const std::string USER20 = "abcdefghijklmnopqrst";
const std::string PASS20 = "ABCDEFGHIJKLMNOPQRST";

const LoginRow LOGIN_ROWS[] = {
    {"CrLf", "admin", "secret", "admin\r\nsecret\r\n", 1, "admin", "secret", 0},
    {"LfOnly", "admin", "secret", "admin\nsecret\n", 1, "admin", "secret", 0},
    {"CrOnly", "admin", "secret", "admin\rsecret\r", 1, "admin", "secret", 0},
    {"CrLfThenLf", "admin", "secret", "admin\r\nsecret\n", 1, "admin", "secret", 0},
    {"LfThenCrLf", "admin", "secret", "admin\nsecret\r\n", 1, "admin", "secret", 0},
    // After a CR-only user line the password ends at CR; its LF stays.
    {"CrThenCrLf", "admin", "secret", "admin\rsecret\r\n", 1, "admin", "secret", 1},
    {"CrInsideLfPassword", "admin", "secret", "admin\nsec\rret\n", 1, "admin", "secret", 0},
    {"WrongPassword", "admin", "secret", "admin\r\nSecret\r\n", 2, "admin", "Secret", 0},
    {"WrongUser", "admin", "secret", "Admin\r\nsecret\r\n", 2, "Admin", "secret", 0},
    {"PasswordPrefix", "admin", "secret", "admin\r\nsecre\r\n", 2, "admin", "secre", 0},
    {"UserLonger", "admin", "secret", "admins\r\nsecret\r\n", 2, "admins", "secret", 0},
    {"CutTo20Matches", USER20, PASS20, USER20 + "uvwxy\r\n" + PASS20 + "UVWXY\r\n", 1, USER20, PASS20, 0},
    {"Configured21NeverMatches", USER20 + "u", PASS20, USER20 + "u\r\n" + PASS20 + "\r\n", 2, USER20, PASS20, 0},
    {"EmptyConfiguredEmptyTyped", "", "", "\r\n\r\n", 1, "", "", 0},
    {"EmptyConfiguredEmptyTypedLf", "", "", "\n\n", 1, "", "", 0},
    {"EmptyConfiguredTypedUser", "", "", "x\r\n\r\n", 2, "x", "", 0},
    {"EmptyConfiguredTypedPassword", "", "", "\r\nx\r\n", 2, "", "x", 0},
    {"EmptyTypedLines", "admin", "secret", "\r\n\r\n", 2, "", "", 0},
    {"DataAfterPasswordStays", "admin", "secret", "admin\r\nsecret\r\nhello", 1, "admin", "secret", 5},
    {"BinaryBytes", std::string("a\0b", 3), std::string("\xff\x01", 2), std::string("a\0b\r\n\xff\x01\r\n", 9), 1,
     std::string("a\0b", 3), std::string("\xff\x01", 2), 0},
};

// How the typed bytes reach the receive ring.
enum class Arrival
{
    WHOLE,       // in one burst
    BYTEWISE,    // one byte per cycle
    NEAR_END,    // in one burst that wraps across the ring's end
};

const char* const ARRIVAL_NAMES[] = {"Whole", "Bytewise", "NearEnd"};

void PrintTo(Arrival arrival, std::ostream* pOut)
{
    *pOut << ARRIVAL_NAMES[static_cast<int>(arrival)];
}

struct RunResult
{
    int nUserDone = 0;
    int nPassword = 0;
    int nLeft = 0;
};

// Drives the two readers the way the dialogue does: ReadUser until the line
// is complete, then ReadPassword until it returns non-zero; a reader is only
// called while bytes wait.
RunResult RunLogin(CLoginCtrl& login, const std::string& strTyped, Arrival arrival)
{
    CTestRing ring(arrival == Arrival::NEAR_END ? RING - 4 : 0);
    CTestRing tx;
    EXPECT_EQ(login.PutLoginPrompt(tx), 1);
    RunResult result;
    auto step = [&] {
        while (ring.Count() > 0 && result.nPassword == 0)
        {
            const int nBefore = ring.Count();
            if (result.nUserDone == 0)
                result.nUserDone = login.ReadUser(ring);
            else
                result.nPassword = login.ReadPassword(ring);
            EXPECT_GE(ring.Count(), 0);
            EXPECT_LT(ring.Count(), nBefore) << "a reader made no progress";
            EXPECT_EQ((ring.ReadIndex() + ring.Count()) % RING, ring.WriteIndex());
        }
    };
    const Bytes by(strTyped.begin(), strTyped.end());
    if (arrival == Arrival::BYTEWISE)
    {
        for (unsigned char b : by)
        {
            ring.Put({b});
            step();
        }
    }
    else
    {
        ring.Put(by);
        step();
    }
    result.nLeft = ring.Count();
    return result;
}

class LoginRowTest : public ::testing::TestWithParam<std::tuple<LoginRow, Arrival>>
{
};

TEST_P(LoginRowTest, ReadsAndCompares)
{
    const auto& [row, arrival] = GetParam();
    CLoginCtrl login;
    login.SetLogin(row.strUser, row.strPassword);
    const RunResult result = RunLogin(login, row.strTyped, arrival);
    EXPECT_EQ(result.nUserDone, 1);
    EXPECT_EQ(result.nPassword, row.nExpected);
    EXPECT_EQ(login.m_strInUser, row.strInUser);
    EXPECT_EQ(login.m_strInPassword, row.strInPassword);
    EXPECT_EQ(result.nLeft, row.nLeft);
    EXPECT_EQ(login.m_nTries, 1u);
}

std::string LoginRowName(const ::testing::TestParamInfo<std::tuple<LoginRow, Arrival>>& param)
{
    const auto& [row, arrival] = param.param;
    return std::string(row.pszName) + "_" + ARRIVAL_NAMES[static_cast<int>(arrival)];
}

INSTANTIATE_TEST_SUITE_P(Rows, LoginRowTest,
                         ::testing::Combine(::testing::ValuesIn(LOGIN_ROWS),
                                            ::testing::Values(Arrival::WHOLE, Arrival::BYTEWISE, Arrival::NEAR_END)),
                         LoginRowName);

TEST(CLoginCtrlTest, IncompleteLinesWaitAndCountNoTry)
{
    CLoginCtrl login;
    login.SetLogin("admin", "secret");
    CTestRing ring;
    ring.Put(ToBytes("adm"));
    EXPECT_EQ(login.ReadUser(ring), 0);
    EXPECT_EQ(ring.Count(), 0);
    ring.Put(ToBytes("in\r"));
    EXPECT_EQ(login.ReadUser(ring), 1);
    EXPECT_EQ(login.m_strInUser, "admin");
    ring.Put(ToBytes("\nsec"));
    EXPECT_EQ(login.ReadPassword(ring), 0);
    EXPECT_EQ(login.m_nTries, 0u);
    EXPECT_EQ(login.m_chEnd, 10);
    // A CR inside an LF-ended password is dropped, not taken as the end.
    ring.Put(ToBytes("ret\r"));
    EXPECT_EQ(login.ReadPassword(ring), 0);
    ring.Put(ToBytes("\n"));
    EXPECT_EQ(login.ReadPassword(ring), 1);
    EXPECT_EQ(login.m_nTries, 1u);
}

TEST(CLoginCtrlTest, TriesCountEveryCompletedPasswordLine)
{
    CLoginCtrl login;
    login.SetLogin("admin", "secret");
    const char* const ATTEMPTS[] = {"admin\r\nx\r\n", "root\nsecret\n", "admin\rsecret\r"};
    const int EXPECTED[] = {2, 2, 1};
    for (int k = 0; k < 3; ++k)
    {
        const RunResult result = RunLogin(login, ATTEMPTS[k], Arrival::WHOLE);
        EXPECT_EQ(result.nPassword, EXPECTED[k]) << ATTEMPTS[k];
        EXPECT_EQ(login.m_nTries, static_cast<uint32_t>(k + 1));
    }
    login.Reset();
    EXPECT_EQ(login.m_nTries, 0u);
    EXPECT_EQ(login.m_strLoginUser, "");
    EXPECT_EQ(login.m_strLoginPassword, "");
}

TEST(CLoginCtrlTest, LoginPromptStartsANewAttemptOnlyWhenWritten)
{
    CLoginCtrl login;
    login.m_strInUser = "old";
    login.m_strInPassword = "pw";
    login.m_chEnd = 10;
    CTestRing tx;
    tx.Occupy(RING - 6);  // "login: " needs 7
    EXPECT_EQ(login.PutLoginPrompt(tx), 0);
    EXPECT_EQ(login.m_strInUser, "old");
    EXPECT_EQ(login.m_strInPassword, "pw");
    EXPECT_EQ(login.m_chEnd, 10);
    tx.Occupy(RING - 7);
    EXPECT_EQ(login.PutLoginPrompt(tx), 1);
    EXPECT_EQ(login.m_strInUser, "");
    EXPECT_EQ(login.m_strInPassword, "");
    EXPECT_EQ(login.m_chEnd, 13);
}

// ---- texts ----

struct TextRow
{
    const char* pszName;
    std::function<int(CLoginCtrl&, CTestRing&)> fnPut;
    std::string strText;
};
void PrintTo(const TextRow& row, std::ostream* pOut)
{
    *pOut << row.pszName;
}

int Put(int (CLoginCtrl::*pfn)(CRing&), CLoginCtrl& login, CTestRing& ring)
{
    return (login.*pfn)(ring);
}

const TextRow TEXT_ROWS[] = {
    {"Banner", [](CLoginCtrl& l, CTestRing& r) { return Put(&CLoginCtrl::PutBanner, l, r); },
     "Nimbrel Login Service\r\n\r\n"},
    {"LoginPrompt", [](CLoginCtrl& l, CTestRing& r) { return Put(&CLoginCtrl::PutLoginPrompt, l, r); }, "login: "},
    {"PasswordPrompt", [](CLoginCtrl& l, CTestRing& r) { return Put(&CLoginCtrl::PutPasswordPrompt, l, r); },
     "Password: "},
    {"Incorrect", [](CLoginCtrl& l, CTestRing& r) { return Put(&CLoginCtrl::PutIncorrect, l, r); },
     "\r\nLogin incorrect\r\n"},
    {"Timeout", [](CLoginCtrl& l, CTestRing& r) { return Put(&CLoginCtrl::PutTimeout, l, r); },
     "\r\nLogin timeout\r\n"},
};

class LoginTextTest : public ::testing::TestWithParam<TextRow>
{
};

TEST_P(LoginTextTest, WrittenWholeOnlyWhenItFits)
{
    const TextRow& row = GetParam();
    const int nLen = static_cast<int>(row.strText.size());
    const Bytes expected(row.strText.begin(), row.strText.end());
    // Write positions: the start, the middle, and so close to the end that
    // the text wraps (at every possible cut).
    std::vector<int> vecStart = {0, RING / 2};
    for (int k = 1; k < nLen; ++k)
        vecStart.push_back(RING - k);
    for (int nStart : vecStart)
    {
        SCOPED_TRACE(nStart);
        // One byte short of room: nothing changes.
        CTestRing ring(nStart);
        ring.Occupy(RING - nLen + 1);
        const CTestRing::CState before = ring.Snap();
        CLoginCtrl login;
        EXPECT_EQ(row.fnPut(login, ring), 0);
        EXPECT_EQ(ring.WriteIndex(), before.m_nIn);
        EXPECT_EQ(ring.Count(), before.m_nCount);
        EXPECT_EQ(ring.AllBytes(), before.m_by);

        // Exactly the room needed: the whole text, wrapping as needed.
        ring.Occupy(RING - nLen);
        EXPECT_EQ(row.fnPut(login, ring), 1);
        EXPECT_EQ(ring.Count(), RING);
        EXPECT_EQ(ring.WriteIndex(), (nStart + nLen) % RING);
        EXPECT_EQ(ring.Peek(nStart, nLen), expected);
        // Nothing else was touched.
        for (int k = nLen; k < RING; ++k)
            ASSERT_EQ(ring.AllBytes()[static_cast<size_t>((nStart + k) % RING)], before.m_by[0]) << k;
    }
}

std::string TextRowName(const ::testing::TestParamInfo<TextRow>& param)
{
    return param.param.pszName;
}

INSTANTIATE_TEST_SUITE_P(Texts, LoginTextTest, ::testing::ValuesIn(TEXT_ROWS), TextRowName);

TEST(CLoginCtrlTest, TextsFollowOneAnotherInAnEmptyRing)
{
    CLoginCtrl login;
    CTestRing tx;
    EXPECT_EQ(login.PutBanner(tx), 1);
    EXPECT_EQ(login.PutLoginPrompt(tx), 1);
    EXPECT_EQ(tx.Take(), ToBytes("Nimbrel Login Service\r\n\r\nlogin: "));
}

}  // namespace
