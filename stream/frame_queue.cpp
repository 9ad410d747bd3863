#include "stream/frame_queue.h"

#include <chrono>
#include <cstring>

namespace kn {

CFrameQueue::CFrameQueue()
    : m_pBuffer(m_Data),
      m_nBufferSize(kBufferSize),
      m_nReadSlot(0),
      m_nWriteSlot(0),
      m_nFillOffset(0),
      m_nRemaining(0),
      m_bConsumerWaiting(false),
      m_bWakeRequested(false),
      m_nWakeBatch(1),
      m_bReading(false),
      m_nReadingOffset(0),
      m_nReadingLength(0),
      m_nReadGeneration(0),
      m_bProducerWaiting(false),
      m_bWaitForRoom(false),
      m_pfnKeepWaiting(nullptr),
      m_pKeepWaitingContext(nullptr)
{
    // A slot is read only after the producer has written it; slot 0 is
    // cleared so that the first AppendFrame finds no partial frame.
    m_Slots[0] = FrameSlot{0, 0, kFree, 0};
}

bool CFrameQueue::BeginFrame(const uint8_t *source, uint8_t type, int32_t fragmentLength, int32_t totalLength)
{
    bool wake = false;
    {
        CQueueLock lock(m_Mutex);
        // The caller means to start a new frame whatever happens: never let its
        // later fragments land in the frame before it.
        AbandonPartialLocked();
        if (m_pBuffer == nullptr || fragmentLength < 0 || fragmentLength > totalLength || totalLength < 1 ||
            totalLength > m_nBufferSize || (source == nullptr && fragmentLength > 0)) {
            return false;
        }
        // The whole frame must lie between its offset and the region's end.
        if (totalLength > m_nBufferSize - m_nFillOffset) {
            m_nFillOffset = 0;
        }
        const int32_t offset = m_nFillOffset;
        if (m_bWaitForRoom) {
            WaitForRoomLocked(lock, offset, totalLength);
        }
        WaitForReaderLocked(lock, offset, totalLength);
        DropOverlappingLocked(offset, totalLength);

        if (fragmentLength > 0) {
            std::memcpy(m_pBuffer + offset, source, static_cast<size_t>(fragmentLength));
        }
        FrameSlot &slot = m_Slots[m_nWriteSlot];
        slot.nOffset = offset;
        slot.nLength = totalLength;
        slot.byType = type;
        m_nFillOffset = offset + fragmentLength;
        if (fragmentLength == totalLength) {
            wake = CompleteLocked();
        } else {
            slot.byState = kPartial;
            m_nRemaining = totalLength - fragmentLength;
        }
    }
    if (wake) {
        m_ConsumerWake.Bump();
    }
    return true;
}

bool CFrameQueue::AppendFrame(const uint8_t *source, uint8_t type, int32_t fragmentLength)
{
    // Until the frame is complete, everything touched here is the producer's
    // alone: the partial frame's slot, the fill offset, the missing count, and
    // the bytes of the range BeginFrame reserved, which no waiting frame and
    // no copy in progress covers. Only the completion needs the lock.
    FrameSlot &slot = m_Slots[m_nWriteSlot];
    if (m_pBuffer == nullptr || source == nullptr || m_nRemaining <= 0 || slot.byState != kPartial ||
        fragmentLength < 1 || fragmentLength > m_nBufferSize || m_nFillOffset > m_nBufferSize - fragmentLength ||
        type != slot.byType) {
        return false;
    }
    if (m_nRemaining < fragmentLength) {
        return true;  // more than the frame declared: stored nowhere
    }
    std::memcpy(m_pBuffer + m_nFillOffset, source, static_cast<size_t>(fragmentLength));
    m_nFillOffset += fragmentLength;
    m_nRemaining -= fragmentLength;
    if (m_nRemaining > 0) {
        return true;
    }
    bool wake = false;
    {
        CQueueLock lock(m_Mutex);
        wake = CompleteLocked();
    }
    if (wake) {
        m_ConsumerWake.Bump();
    }
    return true;
}

int32_t CFrameQueue::TakeFrame(uint8_t *dest, uint8_t *type, uint32_t capacity)
{
    int32_t readSlot = 0;
    int32_t offset = 0;
    int32_t length = 0;
    uint32_t generation = 0;
    {
        CQueueLock lock(m_Mutex);
        if (m_pBuffer == nullptr || !FrameWaitingLocked()) {
            return 0;
        }
        FrameSlot &slot = m_Slots[m_nReadSlot];
        if (type != nullptr) {
            *type = slot.byType;
        }
        const uint32_t end = static_cast<uint32_t>(slot.nOffset) + static_cast<uint32_t>(slot.nLength);
        if (dest == nullptr || static_cast<uint32_t>(slot.nLength) > capacity ||
            end > static_cast<uint32_t>(m_nBufferSize)) {
            slot.byState = kFree;  // consumed and dropped
            m_nReadSlot = NextSlot(m_nReadSlot);
            if (m_bProducerWaiting) {
                lock.unlock();
                m_ProducerWake.Bump();
            }
            return 0;
        }
        readSlot = m_nReadSlot;
        offset = slot.nOffset;
        length = slot.nLength;
        generation = m_nReadGeneration;
        m_bReading = true;
        m_nReadingOffset = offset;
        m_nReadingLength = length;
    }
    // The producer writes no byte of this frame until the copy is over.
    std::memcpy(dest, m_pBuffer + offset, static_cast<size_t>(length));
    bool wakeProducer = false;
    {
        CQueueLock lock(m_Mutex);
        m_bReading = false;
        // A drop or a reset meanwhile already moved past this frame.
        if (generation == m_nReadGeneration && m_nReadSlot == readSlot) {
            m_Slots[readSlot].byState = kFree;
            m_nReadSlot = NextSlot(readSlot);
        }
        wakeProducer = m_bProducerWaiting;
    }
    if (wakeProducer) {
        m_ProducerWake.Bump();
    }
    return length;
}

void CFrameQueue::Reset()
{
    CQueueLock lock(m_Mutex);
    ResetLocked();
}

bool CFrameQueue::WaitForFrame(uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint32_t seen = 0;
        uint32_t leftMs = 0;
        {
            CQueueLock lock(m_Mutex);
            const Clock::time_point now = Clock::now();
            if (FrameWaitingLocked() || m_bWakeRequested || now >= deadline) {
                m_bConsumerWaiting = false;
                m_bWakeRequested = false;
                return FrameWaitingLocked();
            }
            // Rounded up, so that a sleep never ends just short of the deadline.
            leftMs = static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            m_bConsumerWaiting = true;
            seen = m_ConsumerWake.Value();
        }
        m_ConsumerWake.Wait(seen, leftMs);
    }
}

void CFrameQueue::Wake()
{
    {
        CQueueLock lock(m_Mutex);
        m_bWakeRequested = true;
    }
    m_ConsumerWake.Bump();
}

bool CFrameQueue::ConsumerWaiting() const
{
    CQueueLock lock(m_Mutex);
    return m_bConsumerWaiting;
}

void CFrameQueue::AbandonPartialLocked()
{
    FrameSlot &slot = m_Slots[m_nWriteSlot];
    if (slot.byState == kPartial) {
        slot.byState = kFree;
    }
    m_nRemaining = 0;
}

void CFrameQueue::DropOverlappingLocked(int32_t offset, int32_t length)
{
    // Waiting frames lie in write order around the region, so the ones the new
    // range covers are normally the oldest. Drop everything up to the newest
    // one it covers, so that loss stays oldest-first and the waiting frames
    // stay one run of slots.
    int32_t dropUntil = -1;
    for (int32_t slot = m_nReadSlot; slot != m_nWriteSlot; slot = NextSlot(slot)) {
        const FrameSlot &frame = m_Slots[slot];
        if (frame.nOffset < offset + length && offset < frame.nOffset + frame.nLength) {
            dropUntil = slot;
        }
    }
    if (dropUntil < 0) {
        return;
    }
    ProducerMovedReadLocked();
    for (;;) {
        m_Slots[m_nReadSlot].byState = kFree;
        const bool last = m_nReadSlot == dropUntil;
        m_nReadSlot = NextSlot(m_nReadSlot);
        if (last) {
            break;
        }
    }
}

bool CFrameQueue::CompleteLocked()
{
    m_Slots[m_nWriteSlot].byState = kComplete;
    m_nRemaining = 0;
    m_nWriteSlot = NextSlot(m_nWriteSlot);
    if (m_nWriteSlot == m_nReadSlot) {
        ResetLocked();  // the 120th waiting frame: the ring is full
        return false;
    }
    if (m_bConsumerWaiting && WaitingCountLocked() >= m_nWakeBatch) {
        m_bConsumerWaiting = false;  // one signal is enough until it sleeps again
        return true;
    }
    return false;
}

void CFrameQueue::SetWakeBatch(int32_t frames)
{
    CQueueLock lock(m_Mutex);
    m_nWakeBatch = frames < 1 ? 1 : (frames > kSlotCount / 2 ? kSlotCount / 2 : frames);
}

void CFrameQueue::SetWaitForRoom(bool on, KeepWaitingCheck keepWaiting, void *context)
{
    CQueueLock lock(m_Mutex);
    m_bWaitForRoom = on;
    m_pfnKeepWaiting = keepWaiting;
    m_pKeepWaitingContext = context;
}

void CFrameQueue::WakeProducer() { m_ProducerWake.Bump(); }

bool CFrameQueue::RoomLocked(int32_t offset, int32_t length) const
{
    // Completing one more frame while 119 wait would empty the ring.
    if (WaitingCountLocked() >= kSlotCount - 1) {
        return false;
    }
    for (int32_t slot = m_nReadSlot; slot != m_nWriteSlot; slot = NextSlot(slot)) {
        const FrameSlot &frame = m_Slots[slot];
        if (frame.nOffset < offset + length && offset < frame.nOffset + frame.nLength) {
            return false;
        }
    }
    return true;
}

void CFrameQueue::WaitForRoomLocked(CQueueLock &lock, int32_t offset, int32_t length)
{
    while (!RoomLocked(offset, length)) {
        // The frames in the way must reach the consumer even when fewer than
        // a wake batch wait.
        bool wakeConsumer = false;
        if (m_bConsumerWaiting && FrameWaitingLocked()) {
            m_bConsumerWaiting = false;
            wakeConsumer = true;
        }
        m_bProducerWaiting = true;
        const uint32_t seen = m_ProducerWake.Value();
        const KeepWaitingCheck check = m_pfnKeepWaiting;
        void *const context = m_pKeepWaitingContext;
        lock.unlock();
        if (wakeConsumer) {
            m_ConsumerWake.Bump();
        }
        // Asked after the wake word was read: a WakeProducer that made the
        // check say no either shows here or ends the sleep below at once.
        const bool keepWaiting = check == nullptr || check(context);
        if (keepWaiting) {
            m_ProducerWake.Wait(seen, kRoomRecheckMs);
        }
        lock.lock();
        if (!keepWaiting) {
            break;
        }
    }
    m_bProducerWaiting = false;
}

void CFrameQueue::Flush()
{
    bool wake = false;
    {
        CQueueLock lock(m_Mutex);
        if (m_bConsumerWaiting && FrameWaitingLocked()) {
            m_bConsumerWaiting = false;
            wake = true;
        }
    }
    if (wake) {
        m_ConsumerWake.Bump();
    }
}

int32_t CFrameQueue::WaitingCountLocked() const
{
    const int32_t n = m_nWriteSlot - m_nReadSlot;
    return n < 0 ? n + kSlotCount : n;
}

void CFrameQueue::ResetLocked()
{
    ProducerMovedReadLocked();
    m_nReadSlot = 0;
    m_nWriteSlot = 0;
    m_nFillOffset = 0;
    m_nRemaining = 0;
    m_Slots[0].byState = kFree;
}

bool CFrameQueue::FrameWaitingLocked() const
{
    return m_nReadSlot != m_nWriteSlot && m_Slots[m_nReadSlot].byState == kComplete;
}

void CFrameQueue::ProducerMovedReadLocked() { ++m_nReadGeneration; }

void CFrameQueue::WaitForReaderLocked(CQueueLock &lock, int32_t offset, int32_t length)
{
    // Bounded by one frame copy of the consumer's; the time-out only bounds
    // each sleep, after which the overlap is looked at again.
    constexpr uint32_t kRecheckMs = 100;
    while (m_bReading && m_nReadingOffset < offset + length && offset < m_nReadingOffset + m_nReadingLength) {
        m_bProducerWaiting = true;
        const uint32_t seen = m_ProducerWake.Value();
        lock.unlock();
        m_ProducerWake.Wait(seen, kRecheckMs);
        lock.lock();
    }
    m_bProducerWaiting = false;
}

}  // namespace kn
