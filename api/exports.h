/*
 * kestrelnet: client library for networked video recorders.
 *
 * The whole public C interface. Every export returns 1 or a non-null handle on
 * success and 0 or null on failure; the library keeps no error code. Handles
 * are opaque: a stale or unknown handle makes a call fail, never crash.
 *
 * Callbacks run on the library's own threads, never on the thread that called
 * an export.
 */
#ifndef KESTRELNET_EXPORTS_H
#define KESTRELNET_EXPORTS_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(KESTRELNET_BUILDING)
#    define KR_API __declspec(dllexport)
#  else
#    define KR_API __declspec(dllimport)
#  endif
#  define KR_CALL __stdcall
#else
#  if defined(KESTRELNET_BUILDING)
#    define KR_API __attribute__((visibility("default")))
#  else
#    define KR_API
#  endif
#  define KR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A point in time as the host gives it: year in full (e.g. 2009). */
typedef struct DvrTime {
    int32_t nYear;
    int32_t nMonth;
    int32_t nDay;
    int32_t nHour;
    int32_t nMinute;
    int32_t nSecond;
} DvrTime;

/* One recording found by a search. Start and End share the day's date. */
typedef struct DvrFileRecord {
    DvrTime Start;
    DvrTime End;
    uint32_t dwValue;
} DvrFileRecord;

/* A notice taken with KR_4100_GetThreadMessage. message is 0x1200 for a lost
 * recorder connection; dwAddress is the recorder's IPv4 address as the four
 * network-order bytes read as one 32-bit value. */
typedef struct DvrThreadMessage {
    uint32_t message;
    void *hSession;
    uint32_t dwAddress;
} DvrThreadMessage;

/* Recorder message: nType is always 101, nLen always 12. */
typedef void (KR_CALL *DvrMessageCallback)(uint32_t nType, void *hSession,
                                           const unsigned char *pData, uint32_t nLen);

/* Media frame: nType 0-3 for a frame (prefix and payload at pData), or 255
 * when the stream's connection was lost (pData null, nLen 0). The bytes are
 * valid only during the call. */
typedef void (KR_CALL *DvrDataCallback)(void *hStream, uint32_t nType,
                                        const unsigned char *pData, int32_t nLen,
                                        uint32_t dwUser);

#define KR_4100_DISCONNECT_MESSAGE 0x1200u

/* Result codes of KR_4100_FindNextFile. */
#define KR_4100_FIND_RECORD   1000
#define KR_4100_FIND_NONE     1001
#define KR_4100_FIND_FINISHED 1003

/* Playback control codes of KR_4100_PlayBackCtrl. */
#define KR_4100_PLAY_PAUSE    0x2800
#define KR_4100_PLAY_RESUME   (-1)
#define KR_4100_PLAY_STEP     (-2)

KR_API int32_t KR_CALL KR_4100_Init(void);
KR_API int32_t KR_CALL KR_4100_Cleanup(void);
KR_API int32_t KR_CALL KR_4100_SetConnectTime(uint32_t dwMilliseconds);
KR_API int32_t KR_CALL KR_4100_SetDVRMessage(uint32_t uMsg, uint32_t dwThreadId);
KR_API int32_t KR_CALL KR_4100_SetDVRMessCallBack(DvrMessageCallback pfnMessage);
KR_API const void *KR_CALL KR_4100_GetDecoderHeader(int32_t nReserved);
KR_API int32_t KR_CALL KR_4100_GetThreadMessage(DvrThreadMessage *pMsg, uint32_t dwTimeoutMs);

KR_API void *KR_CALL KR_4100_Login(const char *pszAddress, int32_t nPort,
                                   const char *pszUser, const char *pszPassword,
                                   int32_t *pnLoginResult);
KR_API int32_t KR_CALL KR_4100_Logout(void *hSession);

KR_API int32_t KR_CALL KR_4100_GetDvrParam(void *hSession, int32_t nCmd,
                                           const void *pInBuf, int32_t nInLen,
                                           void *pOutBuf, uint32_t nOutSize);
KR_API int32_t KR_CALL KR_4100_SetDvrParam(void *hSession, int32_t nCmd,
                                           const void *pInBuf, int32_t nInLen);

KR_API int32_t KR_CALL KR_4100_FindFile(void *hSession, int32_t nChannel, int32_t nSelector,
                                        const DvrTime *pStart, const DvrTime *pEnd);
KR_API int32_t KR_CALL KR_4100_FindNextFile(void *hSession, DvrFileRecord *pRecord);
KR_API int32_t KR_CALL KR_4100_ClearFile(void *hSession);

KR_API void *KR_CALL KR_4100_RealPlay(void *hSession, int32_t nChannel, int32_t nMode,
                                      DvrDataCallback pfnData, uint32_t dwUser);
KR_API int32_t KR_CALL KR_4100_StopRealPlay(void *hStream);
KR_API void *KR_CALL KR_4100_PlayBack(void *hSession, int32_t nChannel, const DvrTime *pStart,
                                      DvrDataCallback pfnData, uint32_t dwUser);
KR_API void *KR_CALL KR_4100_DownLoad(void *hSession, int32_t nChannel, const DvrTime *pStart,
                                      const DvrTime *pEnd, DvrDataCallback pfnData,
                                      uint32_t dwUser);
/* One entry point under two names: stops a stream of any kind. */
KR_API int32_t KR_CALL KR_4100_StopPlayBack(void *hStream);
KR_API int32_t KR_CALL KR_4100_StopDownLoad(void *hStream);
KR_API int32_t KR_CALL KR_4100_PlayBackCtrl(void *hStream, int32_t nCtrl);

KR_API void *KR_CALL KR_4100_Talk(void *hSession);
KR_API int32_t KR_CALL KR_4100_StopTalk(void *hSession);
KR_API void KR_CALL KR_4100_AudioSend(void *hStream, const void *pData, int32_t nLen);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELNET_EXPORTS_H */
