// KR_4100_GetThreadMessage: how a host takes the disconnect notice on a
// system without thread message queues of its own. Built only there; on
// Windows the notice is a real thread message, taken with GetMessage.
#include "api/exports.h"

#include "platform/thread_message.h"

extern "C" KR_API int32_t KR_CALL KR_4100_GetThreadMessage(DvrThreadMessage *pMsg, uint32_t dwTimeoutMs)
{
    if (pMsg == nullptr) {
        return 0;
    }
    try {
        kn::platform::ThreadMessage message;
        if (!kn::platform::GetThreadMessage(message, dwTimeoutMs)) {
            return 0;
        }
        pMsg->message = message.message;
        pMsg->hSession = message.param1;
        pMsg->dwAddress = message.param2;
        return 1;
    } catch (...) {
        // No exception crosses into the host.
        return 0;
    }
}
