// Notices go to the host thread's own message queue: the host takes them with
// GetMessage or PeekMessage like any other thread message. The system bounds
// the queue (a full queue refuses the post) and keeps one per thread.
#include "platform/thread_message.h"

#include "platform/win32/win32.h"

// <windows.h> maps the name onto PostThreadMessageA; this file defines the
// library's own function of that name.
#undef PostThreadMessage

namespace kn::platform {

bool PostThreadMessage(uint32_t threadId, uint32_t message, void *param1, uint32_t param2)
{
    if (threadId == 0) {
        return false;
    }
    // Posted, never sent: a host thread that does not take messages cannot
    // block the library. A thread without a message queue refuses the post.
    return PostThreadMessageA(threadId, message, reinterpret_cast<WPARAM>(param1), static_cast<LPARAM>(param2)) != 0;
}

}  // namespace kn::platform
