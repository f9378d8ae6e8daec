// SPDX-License-Identifier: Apache-2.0
#pragma once

class CPollSet;

// What an event loop (CWorkerLoop) runs: a worker's cycles and its waits,
// called on the loop's thread in this order: LoopBegin once; then
// LoopCycle, and while it says the worker goes on, LoopPrepareWait; when
// that asks for a wait, the wait, then LoopTakeWait with what it reported;
// once LoopCycle says the worker ends, LoopFinish.
class CLoopWorker
{
public:
    virtual ~CLoopWorker() = default;

    virtual void LoopBegin() = 0;
    // False: the worker ends.
    virtual bool LoopCycle() = 0;
    // False: no wait, the next cycle at once (or the worker ends).
    virtual bool LoopPrepareWait(CPollSet& wait) = 0;
    virtual void LoopTakeWait(CPollSet& wait) = 0;
    virtual void LoopFinish() = 0;
};
