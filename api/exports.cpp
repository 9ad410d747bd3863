// The exported C interface: each export checks its handle against the
// session registry and hands the work to the session or stream.
#include "api/exports.h"

#include "api/decoder_header.h"
#include "core/globals.h"
#include "core/release.h"
#include "api/session_registry.h"
#include "platform/compiler.h"
#include "platform/socket.h"
#include "session/dvr_session.h"

using kn::CDvrSession;
using kn::g_SessionList;

namespace {

// No exception may cross into the host: a call whose work throws (an
// allocation that failed) fails with its failure value instead.
template <typename R, typename F>
R Guarded(R failure, F &&work) noexcept
{
    try {
        return work();
    } catch (...) {
        return failure;
    }
}

// Logout close and final teardown of a session that has left the registry.
void CloseAndDestroy(const std::shared_ptr<CDvrSession> &session)
{
    session->LogoutClose();
    session->Destroy();
}

}  // namespace

extern "C" {

KR_API int32_t KR_CALL KR_4100_Init(void) { return kn::platform::SocketLayerStart() ? 1 : 0; }

KR_API int32_t KR_CALL KR_4100_Cleanup(void)
{
    return Guarded(int32_t{1}, [&]() -> int32_t {
        for (const auto &session : g_SessionList.TakeAll()) {
            CloseAndDestroy(session);
        }
        kn::platform::SocketLayerStop();
        return 1;
    });
}

KR_API int32_t KR_CALL KR_4100_SetConnectTime(uint32_t dwMilliseconds)
{
    if (dwMilliseconds < kn::release::kShortestReplyTimeoutMs) {
        return 0;
    }
    kn::g_dwReplyTimeout = dwMilliseconds;
    return 1;
}

KR_API int32_t KR_CALL KR_4100_SetDVRMessage(uint32_t uMsg, uint32_t dwThreadId)
{
    if (!kn::release::kPostsDisconnectNotice) {
        return 1;  // this release posts no notices at all
    }
    if (uMsg != kn::kNotifyMessage) {
        return 0;
    }
    kn::g_dwNotifyThreadId = dwThreadId;
    kn::g_uNotifyMessage = kn::kNotifyMessage;
    return 1;
}

KR_API int32_t KR_CALL KR_4100_SetDVRMessCallBack(DvrMessageCallback pfnMessage)
{
    if (pfnMessage == nullptr) {
        return 0;
    }
    kn::g_pfnMessageCallback = pfnMessage;
    return 1;
}

KR_API const void *KR_CALL KR_4100_GetDecoderHeader(int32_t /*nReserved*/) { return kn::DecoderHeader(); }

KR_API void *KR_CALL KR_4100_Login(const char *pszAddress, int32_t nPort, const char *pszUser, const char *pszPassword,
                                   int32_t *pnLoginResult)
{
    return Guarded(static_cast<void *>(nullptr), [&]() -> void * {
        uint32_t address = 0;
        if (pszAddress == nullptr || !kn::platform::ResolveIPv4(pszAddress, address)) {
            return nullptr;
        }
        const uint16_t port = static_cast<uint16_t>(nPort);

        // Finding and appending are two steps: the host never runs two logins
        // to one recorder at once (api/exports.h), so none can slip between.
        std::shared_ptr<CDvrSession> session = g_SessionList.FindByAddress(address, port);
        if (session) {
            session->LogoutClose();  // reused: keeps its place in the list and its threads
        } else {
            session = CDvrSession::Create();
            g_SessionList.Append(session);
        }

        const int32_t result = session->Login(address, port, pszUser, pszPassword);
        if (result == 0) {
            if (g_SessionList.Remove(session->Handle())) {
                session->Destroy();
            }
            return nullptr;
        }
        if (pnLoginResult != nullptr) {
            *pnLoginResult = result;
        }
        return session->Handle();
    });
}

KR_API int32_t KR_CALL KR_4100_Logout(void *hSession)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.Remove(hSession);
        if (!session) {
            return 0;
        }
        CloseAndDestroy(session);
        return 1;
    });
}

KR_API int32_t KR_CALL KR_4100_GetDvrParam(void *hSession, int32_t nCmd, const void *pInBuf, int32_t nInLen,
                                           void *pOutBuf, uint32_t nOutSize)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        return session ? session->GetDvrParam(nCmd, pInBuf, nInLen, pOutBuf, nOutSize) : 0;
    });
}

KR_API int32_t KR_CALL KR_4100_SetDvrParam(void *hSession, int32_t nCmd, const void *pInBuf, int32_t nInLen)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        return session ? session->SetDvrParam(nCmd, pInBuf, nInLen) : 0;
    });
}

KR_API int32_t KR_CALL KR_4100_FindFile(void *hSession, int32_t nChannel, int32_t nSelector, const DvrTime *pStart,
                                        const DvrTime *pEnd)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        if (!session || pStart == nullptr || pEnd == nullptr) {
            return 0;
        }
        return session->FindFile(nChannel, nSelector, *pStart, *pEnd);
    });
}

KR_API int32_t KR_CALL KR_4100_FindNextFile(void *hSession, DvrFileRecord *pRecord)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        if (!session || pRecord == nullptr) {
            return 0;
        }
        return session->NextFile(*pRecord);
    });
}

KR_API int32_t KR_CALL KR_4100_ClearFile(void *hSession)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        if (!session) {
            return 0;
        }
        session->ClearFiles();
        return 1;
    });
}

KR_API void *KR_CALL KR_4100_RealPlay(void *hSession, int32_t nChannel, int32_t nMode, DvrDataCallback pfnData,
                                      uint32_t dwUser)
{
    return Guarded(static_cast<void *>(nullptr), [&]() -> void * {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        return session ? session->Streams().RealPlay(nChannel, nMode, pfnData, dwUser) : nullptr;
    });
}

KR_API int32_t KR_CALL KR_4100_StopRealPlay(void *hStream)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindStreamOwner(hStream);
        return session ? session->Streams().StopStream(hStream) : 0;
    });
}

KR_API void *KR_CALL KR_4100_PlayBack(void *hSession, int32_t nChannel, const DvrTime *pStart, DvrDataCallback pfnData,
                                      uint32_t dwUser)
{
    return Guarded(static_cast<void *>(nullptr), [&]() -> void * {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        if (!session || pStart == nullptr) {
            return nullptr;
        }
        return session->Streams().PlayBack(nChannel, *pStart, pfnData, dwUser);
    });
}

KR_API void *KR_CALL KR_4100_DownLoad(void *hSession, int32_t nChannel, const DvrTime *pStart, const DvrTime *pEnd,
                                      DvrDataCallback pfnData, uint32_t dwUser)
{
    return Guarded(static_cast<void *>(nullptr), [&]() -> void * {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        if (!session || pStart == nullptr || pEnd == nullptr) {
            return nullptr;
        }
        return session->Streams().DownLoad(nChannel, *pStart, *pEnd, pfnData, dwUser);
    });
}

KR_API int32_t KR_CALL KR_4100_StopPlayBack(void *hStream)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindStreamOwner(hStream);
        return session ? session->Streams().StopStream(hStream) : 0;
    });
}

// The same entry point under a second name.
KR_API int32_t KR_CALL KR_4100_StopDownLoad(void *hStream) KN_ALIAS_OF(KR_4100_StopPlayBack);

KR_API int32_t KR_CALL KR_4100_PlayBackCtrl(void *hStream, int32_t nCtrl)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindStreamOwner(hStream);
        return session ? session->Streams().PlayBackCtrl(hStream, nCtrl) : 0;
    });
}

KR_API void *KR_CALL KR_4100_Talk(void *hSession)
{
    return Guarded(static_cast<void *>(nullptr), [&]() -> void * {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        return session ? session->Streams().Talk() : nullptr;
    });
}

KR_API int32_t KR_CALL KR_4100_StopTalk(void *hSession)
{
    return Guarded(int32_t{0}, [&]() -> int32_t {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindSession(hSession);
        return session ? session->Streams().StopTalk() : 0;
    });
}

KR_API void KR_CALL KR_4100_AudioSend(void *hStream, const void *pData, int32_t nLen)
{
    Guarded(0, [&] {
        std::shared_ptr<CDvrSession> session = g_SessionList.FindStreamOwner(hStream);
        if (session) {
            session->Streams().AudioSend(hStream, pData, nLen);
        }
        return 0;
    });
}

}  // extern "C"
