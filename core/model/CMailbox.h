// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <mutex>
#include <utility>
#include <vector>

// Entries from any thread to one owner, in the order they came, handed over
// in bursts: the entry that begins a burst says so, its poster wakes the
// owner once (outside the lock), and the owner takes everything that came
// by then in one go. Later entries begin the next burst.
//
// Post is safe from any thread, TakeAll belongs to the owner. The lock is
// private and a leaf: nothing else is taken or called while it is held.
template <typename T>
class CMailbox
{
public:
    // True when this entry began a burst: the caller wakes the owner.
    bool Post(T entry)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_entries.push_back(std::move(entry));
        if (m_bOwnerWoken)
            return false;
        m_bOwnerWoken = true;
        return true;
    }

    // Everything posted so far, in arrival order; the next Post begins a
    // new burst.
    std::vector<T> TakeAll()
    {
        std::vector<T> entries;
        std::lock_guard<std::mutex> lock(m_cs);
        entries.swap(m_entries);
        m_bOwnerWoken = false;
        return entries;
    }

    // Nothing waiting and no burst under way (measurements wait for this).
    bool IsIdle()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_entries.empty() && !m_bOwnerWoken;
    }

private:
    std::mutex m_cs;  // guards m_entries and m_bOwnerWoken
    std::vector<T> m_entries;
    bool m_bOwnerWoken = false;
};
