#include "engine/CLoginCtrl.h"

#include <cstring>

namespace
{

constexpr char LOGIN_BANNER[] = "Nimbrel Login Service\r\n\r\n";
constexpr char LOGIN_PROMPT[] = "login: ";
constexpr char LOGIN_PASSWORD[] = "Password: ";
constexpr char LOGIN_INCORRECT[] = "\r\nLogin incorrect\r\n";
constexpr char LOGIN_TIMEOUT[] = "\r\nLogin timeout\r\n";

// The texts go out without their terminating NUL.
template <size_t N>
int PutLiteral(unsigned char* pRing, int& nIn, int& nCount, const char (&sz)[N])
{
    return CLoginCtrl::PutText(pRing, nIn, nCount, reinterpret_cast<const unsigned char*>(sz), static_cast<int>(N - 1));
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

int CLoginCtrl::PutText(unsigned char* pRing, int& nIn, int& nCount, const unsigned char* pData, int n)
{
    constexpr int nSize = RING_SIZE;
    if (n < 0 || n > nSize - nCount)
        return 0;
    // At most two pieces: up to the ring's end, then from its start.
    const int nFirst = n < nSize - nIn ? n : nSize - nIn;
    memcpy(pRing + nIn, pData, static_cast<size_t>(nFirst));
    memcpy(pRing, pData + nFirst, static_cast<size_t>(n - nFirst));
    nIn = (nIn + n) % nSize;
    nCount += n;
    return 1;
}

int CLoginCtrl::PutBanner(unsigned char* pRing, int& nIn, int& nCount)
{
    return PutLiteral(pRing, nIn, nCount, LOGIN_BANNER);
}

int CLoginCtrl::PutLoginPrompt(unsigned char* pRing, int& nIn, int& nCount)
{
    if (PutLiteral(pRing, nIn, nCount, LOGIN_PROMPT) == 0)
        return 0;
    m_strInUser.clear();
    m_strInPassword.clear();
    m_chEnd = LOGIN_CR;
    return 1;
}

int CLoginCtrl::PutPasswordPrompt(unsigned char* pRing, int& nIn, int& nCount)
{
    return PutLiteral(pRing, nIn, nCount, LOGIN_PASSWORD);
}

int CLoginCtrl::PutIncorrect(unsigned char* pRing, int& nIn, int& nCount)
{
    return PutLiteral(pRing, nIn, nCount, LOGIN_INCORRECT);
}

int CLoginCtrl::PutTimeout(unsigned char* pRing, int& nIn, int& nCount)
{
    return PutLiteral(pRing, nIn, nCount, LOGIN_TIMEOUT);
}

int CLoginCtrl::ReadUser(const unsigned char* pRing, int& nOut, int& nCount)
{
    while (nCount > 0)
    {
        const unsigned char ch = pRing[nOut];
        nOut = (nOut + 1) % RING_SIZE;
        --nCount;
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

int CLoginCtrl::ReadPassword(const unsigned char* pRing, int& nOut, int& nCount)
{
    // The LF of a CR LF that ended the user name is not an empty password.
    if (m_strInPassword.empty() && m_chEnd == LOGIN_CR && nCount > 0 && pRing[nOut] == LOGIN_LF)
    {
        nOut = (nOut + 1) % RING_SIZE;
        --nCount;
        m_chEnd = LOGIN_LF;
    }
    int bEnded = 0;
    while (nCount > 0)
    {
        const unsigned char ch = pRing[nOut];
        nOut = (nOut + 1) % RING_SIZE;
        --nCount;
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
