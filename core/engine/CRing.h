// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <memory>

// A byte ring of fixed capacity, one of the two a connection moves its data
// through. Its storage is taken when the connection starts and freed when it
// ends; nothing in between allocates.
//
// Not locked: a ring belongs to one worker and is used under that worker's
// lock only.
class CRing
{
public:
    static constexpr int CAPACITY = 8192;

    CRing() = default;
    ~CRing() = default;

    CRing(const CRing&) = delete;
    CRing& operator=(const CRing&) = delete;

    // Storage for CAPACITY bytes, empty. False when there is no memory for
    // it; the ring is then without storage.
    bool Allocate();
    // Storage freed, nothing waiting.
    void Release();
    bool IsAllocated() const { return m_pData != nullptr; }

    int Count() const { return m_nCount; }
    int Space() const { return CAPACITY - m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    // Appends n bytes; n must not exceed Space().
    void Put(const unsigned char* pData, int n);
    // Appends all n bytes when they fit, else nothing; true when written.
    bool PutWhole(const unsigned char* pData, int n);
    // Copies up to nMax of the waiting bytes, oldest first, without taking
    // them; returns how many.
    int Peek(unsigned char* pData, int nMax) const;
    // The waiting bytes that lie in one piece from the oldest on, to be
    // handed on without a copy; returns how many (0 when empty).
    int ReadableRun(const unsigned char** ppData) const;
    // Up to nMax of the oldest waiting bytes in one piece, taking nothing:
    // *ppData points into the ring when they lie in one piece there, else at
    // pCopy (room for nMax) holding a copy; returns how many.
    int PeekBlock(const unsigned char** ppData, unsigned char* pCopy, int nMax) const;
    // The free room that lies in one piece where the next byte goes, to be
    // filled in place and then committed; returns how much.
    int WritableRun(unsigned char** ppData);
    // Counts n bytes written in place at the writable run as waiting; n
    // must not exceed that run.
    void Commit(int n);
    // The oldest waiting byte; the ring must not be empty.
    unsigned char Front() const { return m_pData[m_nOut]; }
    // Takes n waiting bytes away; n must not exceed Count().
    void Consume(int n);

    // Tests: empty, with reading and writing both starting at nAt (so that
    // what follows wraps where the test wants it to), and where the bytes
    // went.
    void RestartAt(int nAt);
    int ReadIndex() const { return m_nOut; }
    int WriteIndex() const { return m_nIn; }
    const unsigned char* Storage() const { return m_pData.get(); }
    // Tests: the next n calls of Allocate fail as if memory ran out.
    static void FailNextAllocations(int n) { s_nFailAllocations = n; }

private:
    std::unique_ptr<unsigned char[]> m_pData;
    int m_nIn = 0;     // where the next byte goes
    int m_nOut = 0;    // the oldest waiting byte
    int m_nCount = 0;  // bytes waiting
    static std::atomic<int> s_nFailAllocations;
};
