// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CLoginCtrl.h"

namespace
{

constexpr char LOGIN_BANNER[] = "Nimbrel Login Service\r\n\r\n";
constexpr char LOGIN_PROMPT[] = "login: ";
constexpr char LOGIN_PASSWORD[] = "Password: ";
constexpr char LOGIN_INCORRECT[] = "\r\nLogin incorrect\r\n";
constexpr char LOGIN_TIMEOUT[] = "\r\nLogin timeout\r\n";

// The texts go out without their terminating NUL.
template <size_t N>
int PutLiteral(CRing& tx, const char (&sz)[N])
{
    return CLoginCtrl::PutText(tx, reinterpret_cast<const unsigned char*>(sz), static_cast<int>(N - 1));
}

}  // namespace

void CLoginCtrl::Reset()
{
    m_nTries = 0;
    m_strLoginUser.clear();
    m_strLoginPassword.clear();
}

void CLoginCtrl::SetLogin(const std::string& strUser, const std::string& strPassword)
{
    m_strLoginUser = strUser;
    m_strLoginPassword = strPassword;
}

int CLoginCtrl::PutText(CRing& tx, const unsigned char* pData, int n)
{
    return tx.PutWhole(pData, n) ? 1 : 0;
}

int CLoginCtrl::PutBanner(CRing& tx)
{
    return PutLiteral(tx, LOGIN_BANNER);
}

int CLoginCtrl::PutLoginPrompt(CRing& tx)
{
    if (PutLiteral(tx, LOGIN_PROMPT) == 0)
        return 0;
    m_strInUser.clear();
    m_strInPassword.clear();
    m_chEnd = LOGIN_CR;
    return 1;
}

int CLoginCtrl::PutPasswordPrompt(CRing& tx)
{
    return PutLiteral(tx, LOGIN_PASSWORD);
}

int CLoginCtrl::PutIncorrect(CRing& tx)
{
    return PutLiteral(tx, LOGIN_INCORRECT);
}

int CLoginCtrl::PutTimeout(CRing& tx)
{
    return PutLiteral(tx, LOGIN_TIMEOUT);
}

int CLoginCtrl::ReadUser(CRing& rx)
{
    while (!rx.IsEmpty())
    {
        const unsigned char ch = rx.Front();
        rx.Consume(1);
        if (ch == LOGIN_CR)
            return 1;
        if (ch == LOGIN_LF)
        {
            // The password line is then expected to end the same way.
            m_chEnd = LOGIN_LF;
            return 1;
        }
        if (m_strInUser.size() < LOGIN_MAX_INPUT)
            m_strInUser.push_back(static_cast<char>(ch));
    }
    return 0;
}

int CLoginCtrl::ReadPassword(CRing& rx)
{
    // The LF of a CR LF that ended the user name is not an empty password.
    if (m_strInPassword.empty() && m_chEnd == LOGIN_CR && !rx.IsEmpty() && rx.Front() == LOGIN_LF)
    {
        rx.Consume(1);
        m_chEnd = LOGIN_LF;
    }
    int bEnded = 0;
    while (!rx.IsEmpty())
    {
        const unsigned char ch = rx.Front();
        rx.Consume(1);
        if (ch == m_chEnd)
        {
            bEnded = 1;
            break;
        }
        if (ch != LOGIN_CR && m_strInPassword.size() < LOGIN_MAX_INPUT)
            m_strInPassword.push_back(static_cast<char>(ch));
    }
    if (bEnded == 0)
        return 0;
    ++m_nTries;
    return m_strInUser == m_strLoginUser && m_strInPassword == m_strLoginPassword ? 1 : 2;
}
