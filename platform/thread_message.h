// Per-thread message queues for notices posted to a host thread. A host
// thread takes the messages posted to it with GetThreadMessage. Each queue is
// bounded (kQueueLimit messages, further posts are dropped) and so is the
// number of queues (the least recently used idle queue is discarded when a
// new thread would exceed kMaxQueues).
#pragma once

#include <cstdint>

namespace kn::platform {

struct ThreadMessage {
    uint32_t message;
    void *param1;
    uint32_t param2;
};

constexpr unsigned kQueueLimit = 256;
constexpr unsigned kMaxQueues = 64;

// Posts without waiting. False when threadId is 0, names no thread of this
// process, or its queue is full. A message identical to one still waiting in
// the queue is not queued again (true: it is there). A live thread's queue is made by the first
// post to it (or its first wait), so a notice posted before the host starts
// taking messages is kept.
bool PostThreadMessage(uint32_t threadId, uint32_t message, void *param1, uint32_t param2);

// Takes the oldest message posted to the calling thread, waiting up to
// timeoutMs. True when one was taken.
bool GetThreadMessage(ThreadMessage &out, uint32_t timeoutMs);

}  // namespace kn::platform
