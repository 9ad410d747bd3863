// CFrameQueue: the fixed-size queue that carries complete media frames from a
// stream's receive thread (the only producer) to its delivery thread (the only
// consumer).
//
// Contract:
// - Fixed footprint: 120 slots over a 768000-byte region inside the object;
//   nothing is allocated after construction.
// - By default the producer is never blocked or refused for lack of room: old
//   frames are given up, never new ones. Completing a frame while 119 others
//   wait empties the queue (that frame included); a new frame whose bytes
//   would cover bytes of waiting frames drops those frames, oldest first,
//   before anything is written. A delivered frame therefore always holds
//   exactly its own bytes.
// - With SetWaitForRoom the producer instead waits in BeginFrame until the
//   consumer has taken enough frames for the new one to fit without a drop,
//   for as long as the producer's keep-waiting check agrees (asked at least
//   every kRoomRecheckMs, and at once after WakeProducer). When it stops
//   agreeing, the frame is placed the default way, dropping old frames.
// - Frames are delivered whole, in the order in which they were begun. A frame
//   larger than the consumer's capacity is consumed and dropped.
// - One small lock guards what both sides see (the cursors, the states of
//   waiting frames, the frame being copied out); it is held for bookkeeping
//   only. Frame bytes are copied without it: AppendFrame fills the range its
//   BeginFrame reserved, which nothing else reads, and TakeFrame copies a
//   frame out while the producer leaves that frame's bytes alone: a new frame
//   that would cover them waits for the end of that one copy (the only time
//   the producer ever waits for the consumer).
// - Producer operations (BeginFrame, AppendFrame, Reset, SetWakeBatch, Flush)
//   are called from one thread at a time.
// - The consumer waits with WaitForFrame; the producer signals it only when it
//   is actually asleep, so a busy consumer costs the producer no system call.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/mutex.h"
#include "platform/wait_word.h"

namespace kn {

class CFrameQueue {
public:
    static constexpr int32_t kBufferSize = 768000;
    static constexpr int32_t kSlotCount = 120;

    CFrameQueue();
    virtual ~CFrameQueue() = default;
    CFrameQueue(const CFrameQueue &) = delete;
    CFrameQueue &operator=(const CFrameQueue &) = delete;

    // Producer. Starts a frame of totalLength bytes with its first fragment;
    // a partial frame still in progress is abandoned. Completes the frame at
    // once when the fragment is all of it. False (and the partial frame, if
    // any, abandoned, so later appends store nothing) when the source is null
    // with a nonzero fragment, the fragment is negative or longer than the
    // total, or the total is not in 1..kBufferSize.
    bool BeginFrame(const uint8_t *source, uint8_t type, int32_t fragmentLength, int32_t totalLength);

    // Producer. Adds a fragment to the partial frame and completes it when the
    // fragment supplies its last bytes. False, nothing stored, when no frame
    // is partial, the source is null, the fragment is shorter than 1 byte or
    // longer than the region, or the type is not the partial frame's. True but
    // nothing stored when the fragment is longer than the bytes still missing.
    bool AppendFrame(const uint8_t *source, uint8_t type, int32_t fragmentLength);

    // Consumer. Takes the oldest complete frame: writes its type to *type (if
    // not null) and copies its bytes to dest; returns the byte count. Returns 0
    // when no frame is waiting, and also when the frame is longer than
    // capacity (or dest is null): that frame is consumed and dropped.
    int32_t TakeFrame(uint8_t *dest, uint8_t *type, uint32_t capacity);

    // Empties the queue, the partial frame included; the next frame starts in
    // slot 0 at offset 0. Run by the queue on slot overflow.
    void Reset();

    // Consumer. True at once when a complete frame waits. Otherwise sleeps
    // until a frame is completed, Wake is called, or timeoutMs passes, and
    // returns whether a frame waits then. A time-out of 0 never sleeps.
    bool WaitForFrame(uint32_t timeoutMs);

    // Any thread. Ends the consumer's current WaitForFrame at once; if the
    // consumer is not waiting, its next WaitForFrame returns at once instead
    // (so a stop that clears the run flag and then wakes is never missed).
    void Wake();

    // True while the consumer sleeps inside WaitForFrame.
    bool ConsumerWaiting() const;

    // Producer. Lets completed frames collect before a sleeping consumer is
    // woken: it is woken once `frames` frames wait (1, the default, wakes it
    // for every frame). A producer that batches calls Flush whenever it runs
    // out of input, so that no frame waits longer than that.
    void SetWakeBatch(int32_t frames);
    // Producer. Wakes a sleeping consumer when a frame waits.
    void Flush();

    // Producer, before any frame. On: BeginFrame waits for room instead of
    // dropping waiting frames while keepWaiting(context) returns true (a
    // null check waits for as long as it takes). The check runs on the
    // producer's thread without the queue's lock.
    using KeepWaitingCheck = bool (*)(void *context);
    static constexpr uint32_t kRoomRecheckMs = 50;
    void SetWaitForRoom(bool on, KeepWaitingCheck keepWaiting, void *context);
    // Any thread. Makes a producer that waits for room ask its check again
    // at once (call it after making the check answer false).
    void WakeProducer();

private:
    struct FrameSlot {
        int32_t nOffset;
        int32_t nLength;
        uint8_t byState;  // kFree, kPartial or kComplete
        uint8_t byType;
    };
    static constexpr uint8_t kFree = 0;
    static constexpr uint8_t kPartial = 1;
    static constexpr uint8_t kComplete = 2;

    static int32_t NextSlot(int32_t slot) { return slot + 1 == kSlotCount ? 0 : slot + 1; }

    // All below run with m_Mutex held.
    void AbandonPartialLocked();
    void DropOverlappingLocked(int32_t offset, int32_t length);
    // Marks the slot at m_nWriteSlot complete and advances; true when the
    // consumer sleeps and must be woken.
    bool CompleteLocked();
    void ResetLocked();
    bool FrameWaitingLocked() const;
    int32_t WaitingCountLocked() const;
    // Moves the read cursor on the producer's behalf (a drop or a reset), so
    // that a copy in progress knows its slot is no longer its to free.
    void ProducerMovedReadLocked();
    using CQueueLock = std::unique_lock<platform::CSpinningMutex>;
    // Sleeps, with the lock released, while a copy in progress covers any of
    // these bytes.
    void WaitForReaderLocked(CQueueLock &lock, int32_t offset, int32_t length);
    // True when a frame at these bytes can be completed without dropping a
    // waiting frame.
    bool RoomLocked(int32_t offset, int32_t length) const;
    // Sleeps, with the lock released, until RoomLocked holds or the keep-
    // waiting check says no; wakes a sleeping consumer first.
    void WaitForRoomLocked(CQueueLock &lock, int32_t offset, int32_t length);

    uint8_t *m_pBuffer;
    int32_t m_nBufferSize;
    int32_t m_nReadSlot;
    int32_t m_nWriteSlot;
    int32_t m_nFillOffset;
    int32_t m_nRemaining;
    uint8_t m_Data[kBufferSize];
    FrameSlot m_Slots[kSlotCount];

    mutable platform::CSpinningMutex m_Mutex;
    platform::CWaitWord m_ConsumerWake;  // the consumer sleeps on it in WaitForFrame
    bool m_bConsumerWaiting;
    bool m_bWakeRequested;
    int32_t m_nWakeBatch;

    // The frame TakeFrame is copying out, if any.
    bool m_bReading;
    int32_t m_nReadingOffset;
    int32_t m_nReadingLength;
    uint32_t m_nReadGeneration;  // bumped whenever the producer moves the read cursor
    bool m_bProducerWaiting;
    platform::CWaitWord m_ProducerWake;  // the producer sleeps on it for a copy to end, or for room

    bool m_bWaitForRoom;  // producer's own
    KeepWaitingCheck m_pfnKeepWaiting;
    void *m_pKeepWaitingContext;
};

}  // namespace kn
