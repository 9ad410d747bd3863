/*
 * kestrelnet: client library for networked video recorders.
 *
 *   #include <kestrelnet/kestrelnet.h>     (installed; -I${includedir}, as
 *                                           pkg-config and find_package give it)
 *   cc host.c $(pkg-config --cflags --libs kestrelnet)
 *
 * The whole public C interface. Hosts that include "exports.h" (the file's
 * older installed name) get the same header. Released under the MIT licence.
 *
 * Every export returns 1 or a non-null handle on success and 0 or null on
 * failure; the library keeps no error code and never says why a call failed.
 * Handles are opaque: a stale or unknown handle makes a call fail, never
 * crash. A handle stays dead: once its session is logged out or its stream
 * stopped, the value is not handed out again for the next 65536 sessions
 * (streams) that end after it, so a second stop or logout with an old handle
 * never reaches a later session or stream. Session and stream handles never
 * coincide.
 *
 * Calling order: KR_4100_Init once; optionally KR_4100_SetConnectTime,
 * KR_4100_SetDVRMessage, KR_4100_SetDVRMessCallBack; KR_4100_Login per
 * recorder; stream, search and parameter calls with the handles;
 * KR_4100_Logout per session or KR_4100_Cleanup for all.
 *
 * Threads: every export may be called from any thread. What may run at the
 * same time as what:
 *
 *   stream calls      KR_4100_RealPlay, KR_4100_PlayBack, KR_4100_DownLoad,
 *                     KR_4100_Talk, the stops, KR_4100_PlayBackCtrl,
 *                     KR_4100_AudioSend, KR_4100_StopTalk: with any call,
 *                     on any session, from any number of threads. Openings
 *                     of one channel take turns and return the same stream.
 *   requests          KR_4100_GetDvrParam, KR_4100_SetDvrParam,
 *                     KR_4100_FindFile: each waits for the recorder's reply
 *                     in the session's one request slot. At most one per
 *                     session at a time (a login or logout of the session
 *                     counts as one); any number on different sessions.
 *   KR_4100_Login     with any call on other sessions, other logins
 *                     included. A login to a recorder (address and port)
 *                     that has a session logs that session out and in again
 *                     under the same handle: it must not overlap another
 *                     login to that recorder, nor any call on that session.
 *   KR_4100_Logout    with any call on other sessions, and with stream calls
 *                     on its own session: an opening that races it returns
 *                     null or a stream the logout stops; nothing outlives
 *                     the session, and later calls with its handles fail.
 *   KR_4100_Cleanup   as a logout of every session at once. Not at the same
 *                     time as KR_4100_Init or KR_4100_Login: a session logged
 *                     in meanwhile may stay listed, with its sockets stopped
 *                     under it on Windows.
 *   KR_4100_Init      before every call that talks to a recorder.
 *   the rest          KR_4100_FindNextFile and KR_4100_ClearFile (each record
 *                     is handed out once, to whichever thread asks), the
 *                     setters, KR_4100_GetDecoderHeader and
 *                     KR_4100_GetThreadMessage: at any time. A new setting
 *                     applies to every wait and notice that starts after it.
 *
 * Callbacks run on the library's own threads, never on the thread that called
 * an export. From inside a callback a host may stop a stream (any kind),
 * stop talk, log out, send playback controls and audio, and call the
 * setters; such a call never waits for the thread it runs on, whose part of
 * the teardown ends when the callback returns. It must not make calls that
 * wait for a reply of the recorder (KR_4100_Login, KR_4100_GetDvrParam,
 * KR_4100_SetDvrParam, KR_4100_FindFile, KR_4100_RealPlay, KR_4100_PlayBack,
 * KR_4100_DownLoad, KR_4100_Talk): from the message callback they cannot get
 * their reply and run into the reply time-out, and from a data callback they
 * hold up the delivery of frames meanwhile.
 *
 * Waits: every wait is bounded: the reply time-out (KR_4100_SetConnectTime,
 * 3000 ms by default), 1.5 s for a connect (release 1.0.0.1: up to ten waits
 * of 1 s), 2 s for a library thread to end.
 */
#ifndef KESTRELNET_EXPORTS_H
#define KESTRELNET_EXPORTS_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(KESTRELNET_BUILDING)
     /* The module definition file names the DLL's exports and ordinals. */
#    define KR_API
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

/* A point in time on the recorder's own clock: year in full (2000-2255; it
 * goes on the wire as year - 2000 in one byte), month 1-12, day 1-31, hour
 * 0-23, minute and second 0-59. There is no time zone and no daylight-saving
 * flag: the library converts nothing, so the fields mean the wall-clock time
 * the recorder is set to, whatever zone that is (neither UTC nor the host's
 * zone, unless the recorder keeps one of them). Search records come back the
 * same way. The library does not check that the date exists. */
typedef struct DvrTime {
    int32_t nYear;
    int32_t nMonth;
    int32_t nDay;
    int32_t nHour;
    int32_t nMinute;
    int32_t nSecond;
} DvrTime;

/* One recording found by a search. Start and End share the day's date;
 * dwValue is the recorder's own 32-bit value for the recording, passed on. */
typedef struct DvrFileRecord {
    DvrTime Start;
    DvrTime End;
    uint32_t dwValue;
} DvrFileRecord;

#if !defined(_WIN32)
/* A notice taken with KR_4100_GetThreadMessage (not on Windows, where the
 * notice is a thread message: GetMessage returns it with message 0x1200,
 * wParam the session handle and lParam the recorder's address, posted on the
 * same occasions as below). message is 0x1200 (the
 * disconnect notice); hSession the session it is about; dwAddress the
 * recorder's IPv4 address as the four network-order bytes read as one 32-bit
 * value. The notice is posted when the session's command connection closes
 * (once), and also after every 200 ms once the recorder has sent nothing on
 * it for 1.2 s (again and again until data comes): a recorder that does not
 * answer keep-alives looks silent. The notice does not say which of the two
 * happened; a host that must know checks the recorder (a new connection, or
 * the stream's own data). */
typedef struct DvrThreadMessage {
    uint32_t message;
    void *hSession;
    uint32_t dwAddress;
} DvrThreadMessage;
#endif

/* Recorder message (a code-56 packet of the recorder), on the session's
 * receive thread: nType is always 101, hSession the session, pData the 12
 * message bytes (their meaning is the recorder's), nLen always 12. The bytes
 * are valid only during the call. Release 1.0.0.1 drops messages whose 16-bit
 * words at offsets 4, 6 and 8 are all zero. */
typedef void (KR_CALL *DvrMessageCallback)(uint32_t nType, void *hSession,
                                           const unsigned char *pData, uint32_t nLen);

/* Media frame, on the stream's delivery thread: hStream the stream, nType
 * the frame type, pData the frame prefix followed by the payload, nLen the
 * length of both, dwUser the value given when the stream was opened.
 *
 * The recorder sends frames of four types, each a payload of its own coding;
 * the library cuts them apart and puts a prefix of its own in front (all
 * prefix numbers 32-bit little-endian):
 *
 *   nType 2 and 3  pictures (the host tells the two kinds apart by the
 *                  type). 16-byte prefix:
 *                    bytes 0-3    "00dc"
 *                    bytes 4-7    25, always (not the stream's real rate:
 *                                 that is in the payload, if anywhere)
 *                    bytes 8-11   picture counter: 0 for the stream's first
 *                                 picture, one more for every picture the
 *                                 recorder began, delivered or not (a gap
 *                                 means pictures were lost), never reset
 *                                 while the stream lives, wrapping at 2^32
 *                    bytes 12-15  payload length
 *                  then the payload, with its bytes 2 and 3 set to 0 by the
 *                  library
 *   nType 1        8-byte prefix: "00db", payload length; then the payload
 *   nType 0        no prefix: the payload alone
 *   nType 255      the stream's connection was closed or failed (pData
 *                  null, nLen 0); given once, after every frame that
 *                  connection brought. The handle stays valid until the
 *                  host stops the stream.
 *
 * Payloads are the recorder's: the library passes them on unchanged (but for
 * bytes 2 and 3 of a picture) and knows nothing of what types 0 and 1 carry
 * or how a picture is coded; that is the recorder maker's to say. The
 * emulator that comes with the library (kestrel-recorder) has a convention of
 * its own: every picture is type 2, its payload "KV", two zero bytes, then one
 * H.264 access unit (Annex B, start codes included); it sends no type 0 or 1.
 * A host that shows the emulator's video drops the 16-byte prefix and those
 * 4 bytes.
 *
 * A payload is at least 4 bytes (a shorter one declared by the recorder is
 * read as 4). A frame longer than 131072 bytes with its prefix (32768 in
 * release 1.0.0.1) is dropped. The bytes are valid only during the call. */
typedef void (KR_CALL *DvrDataCallback)(void *hStream, uint32_t nType,
                                        const unsigned char *pData, int32_t nLen,
                                        uint32_t dwUser);

/* The one message number of KR_4100_SetDVRMessage and of the notice. */
#define KR_4100_DISCONNECT_MESSAGE 0x1200u

/* Result codes of KR_4100_FindNextFile. */
#define KR_4100_FIND_RECORD   1000
#define KR_4100_FIND_NONE     1001
#define KR_4100_FIND_FINISHED 1003

/* Playback control codes of KR_4100_PlayBackCtrl: pause, resume and one
 * picture at a time. The speed codes 0x4033, 0x4066, 0x5033, 0x5066, 0x8033,
 * 0x8066, 0xFF33 and 0xFF66 are sent as operation 3 (low byte 0x33) or 2
 * (0x66) at level 3, 2, 1 or 0 (high byte 0x40, 0x50, 0x80, 0xFF); what the
 * levels mean is the recorder's. Any other code is sent as operation 0,
 * level 0. */
#define KR_4100_PLAY_PAUSE    0x2800
#define KR_4100_PLAY_RESUME   (-1)
#define KR_4100_PLAY_STEP     (-2)

/* Starts the socket layer: 1, or 0 when it did not start. Call it before any
 * other call that talks to a recorder. */
KR_API int32_t KR_CALL KR_4100_Init(void);
/* Logs out every session (their streams stop) and stops the socket layer.
 * Always 1. */
KR_API int32_t KR_CALL KR_4100_Cleanup(void);
/* The reply time-out of every later wait, in milliseconds (default 3000):
 * 1, or 0 for 0 (release 1.0.0.1 also refuses values below 1000), leaving
 * the time-out as it was. */
KR_API int32_t KR_CALL KR_4100_SetConnectTime(uint32_t dwMilliseconds);
/* Names the thread that gets the disconnect notice: uMsg must be 0x1200
 * (else 0, nothing changes); dwThreadId is the thread's id (gettid() on
 * Linux, GetCurrentThreadId() on Windows; 0 turns the notice off). 1. The
 * thread takes notices with KR_4100_GetThreadMessage (Linux) or from its
 * message queue (Windows). Release 1.0.0.1 posts no notice. */
KR_API int32_t KR_CALL KR_4100_SetDVRMessage(uint32_t uMsg, uint32_t dwThreadId);
/* The callback of recorder messages for every session: 1, or 0 for null
 * (the callback stays; there is no way to remove one). */
KR_API int32_t KR_CALL KR_4100_SetDVRMessCallBack(DvrMessageCallback pfnMessage);
/* The 64-byte decoder header, for the host's decoder; the library itself never
 * reads it. Numbers are 32-bit little-endian:
 *
 *   bytes 0-7    "KRVIDHDR" (no terminator)
 *   bytes 8-11   64, the size of the block
 *   bytes 12-15  "264" and a zero byte: the codec
 *   bytes 16-19  25, frames a second
 *   bytes 20-23  1
 *   bytes 24-27  352, picture width
 *   bytes 28-31  288, picture height
 *   bytes 32-35  2
 *   bytes 36-63  zero
 *
 * The values are fixed, whatever a recorder sends; 1 and 2 mean what the
 * host's decoder makes of them. The same address every time, valid as long as
 * the library is loaded; the argument is not examined. */
KR_API const void *KR_CALL KR_4100_GetDecoderHeader(int32_t nReserved);
#if !defined(_WIN32)
/* Linux only: takes the next notice posted to the calling thread, waiting
 * at most dwTimeoutMs: 1 with *pMsg filled in, 0 when none came (or pMsg is
 * null). A thread's queue holds 256 notices; more are dropped until it reads.
 * A notice identical to one still waiting (a silent recorder's, repeated every
 * 200 ms) is not queued twice, so repeats never crowd out other notices. */
KR_API int32_t KR_CALL KR_4100_GetThreadMessage(DvrThreadMessage *pMsg, uint32_t dwTimeoutMs);
#endif

/* Logs in to the recorder at pszAddress (host name or dotted IPv4) and nPort
 * (TCP, low 16 bits) with a user name and password: the session handle, or
 * null. A second login to the same address and port logs the first out and
 * returns the same handle (its streams are stopped).
 *
 * The names are C strings sent as their bytes, without terminator or any
 * conversion; null reads as empty. One login packet carries both with a
 * length byte each: user name and password together at most 87 bytes (each
 * at most 255). Longer ones make the call return null before anything is
 * sent; they are never cut.
 *
 * *pnLoginResult (written only on success) is release 1.0.0.13: the
 * recorder's result byte, sign-extended (never 0; 0x80 and above arrive
 * negative). Release 1.0.0.1: 4, 8 or 16, mapped from byte 9 of the reply
 * ('!' 4; '/', '0', '1' 8; 'a', 'b', 'c' 16).
 *
 * Null does not say why: the name did not resolve, no connection within
 * 1.5 s, the recorder refused (result byte 0; in release 1.0.0.1 any other
 * byte 9), closed the connection, or did not answer within the reply
 * time-out - or, in release 1.0.0.13, sent nothing for 1.2 s, whichever is
 * shorter. A refusal and a recorder that never answers look the same, except
 * in how long the call took. */
KR_API void *KR_CALL KR_4100_Login(const char *pszAddress, int32_t nPort,
                                   const char *pszUser, const char *pszPassword,
                                   int32_t *pnLoginResult);
/* Stops the session's streams, logs out and frees the session: 1, or 0 for
 * an unknown handle (a second logout of one session included). */
KR_API int32_t KR_CALL KR_4100_Logout(void *hSession);

/* Device parameters, passed through: nCmd is a request code of the
 * library's reply table (33, 35, 42, 43, 49, 53, 57, 61, 73, 76, 87, 93,
 * 97-114, 117-120, 123, 124, 127, 129-139, 142, 143, 145, 163, 164, 170, 173,
 * 231, 232; release 1.0.0.1 refuses 163, 164, 170 and 173); pInBuf/nInLen the
 * request payload (at most 89 bytes; pInBuf may be null when nInLen is 0).
 *
 * KR_4100_GetDvrParam: 1 when the reply arrived; min(nOutSize, reply length)
 * payload bytes are then in pOutBuf, the rest of it untouched, and the length
 * is not reported (fill the buffer beforehand to find it; replies are at most
 * 32757 bytes). Release 1.0.0.1 returns 1 only when the reply is exactly
 * nOutSize bytes. 0 at once for a code not in the table or an unknown
 * session; 0 after the reply time-out when no reply came (also when the
 * session's connection was lost).
 * KR_4100_SetDvrParam: 1 when the reply arrived (its content, a refusal
 * included, is not examined); 0 as above. */
KR_API int32_t KR_CALL KR_4100_GetDvrParam(void *hSession, int32_t nCmd,
                                           const void *pInBuf, int32_t nInLen,
                                           void *pOutBuf, uint32_t nOutSize);
KR_API int32_t KR_CALL KR_4100_SetDvrParam(void *hSession, int32_t nCmd,
                                           const void *pInBuf, int32_t nInLen);

/* Recording search of a channel between two times, one request per day:
 * 1 when every day was answered, 0 otherwise (unknown session, a day not
 * answered within the reply time-out). nSelector is a byte sent unchanged.
 * Then KR_4100_FindNextFile hands the records out one by one:
 * KR_4100_FIND_RECORD (1000) a record was filled in, KR_4100_FIND_NONE (1001)
 * none held, KR_4100_FIND_FINISHED (1003) all handed out (and now cleared),
 * 0 for an unknown session. KR_4100_ClearFile drops what is held: 1, or 0 for
 * an unknown session. */
KR_API int32_t KR_CALL KR_4100_FindFile(void *hSession, int32_t nChannel, int32_t nSelector,
                                        const DvrTime *pStart, const DvrTime *pEnd);
KR_API int32_t KR_CALL KR_4100_FindNextFile(void *hSession, DvrFileRecord *pRecord);
KR_API int32_t KR_CALL KR_4100_ClearFile(void *hSession);

/* Live video of a channel: nMode 0 UDP, 1 TCP (a recorder may answer with a
 * multicast group, which the stream then joins); pfnData gets the frames
 * with dwUser. dwUser is 32 bits also on 64-bit hosts: a host that needs a
 * pointer keeps a table and passes an index. The stream handle, or null
 * (unknown session, null pfnData, no connection, no acknowledgement within
 * the reply time-out). A second call for the same channel returns the same
 * handle, with the new callback and user value: its new connection replaces
 * the first at once, so the first holder's frames stop, and once the
 * recorder acknowledges, every frame goes to the new callback. When the
 * second opening fails, the stream ends for everyone: the call returns null,
 * the handle is dead, and the callback that was in place (the first
 * holder's) gets type 255 once, from the delivery thread, unless it already
 * had type 255 for the connection it was given. */
KR_API void *KR_CALL KR_4100_RealPlay(void *hSession, int32_t nChannel, int32_t nMode,
                                      DvrDataCallback pfnData, uint32_t dwUser);
/* Stops a stream of any kind: 1 when stopped, 0 for an unknown handle. */
KR_API int32_t KR_CALL KR_4100_StopRealPlay(void *hStream);
/* Playback from a time until the recording ends (the recorder then closes
 * the stream: type 255). Null as for live video. */
KR_API void *KR_CALL KR_4100_PlayBack(void *hSession, int32_t nChannel, const DvrTime *pStart,
                                      DvrDataCallback pfnData, uint32_t dwUser);
/* Download between two times of the day of pStart: the recorder's request
 * carries only pStart's date and pEnd's time of day, so both must be on one
 * day. pfnData may be null (the frames are then dropped). Null when no
 * connection or acknowledgement. A recorder may send less than asked; the
 * stream ends when it closes (type 255). */
KR_API void *KR_CALL KR_4100_DownLoad(void *hSession, int32_t nChannel, const DvrTime *pStart,
                                      const DvrTime *pEnd, DvrDataCallback pfnData,
                                      uint32_t dwUser);
/* One entry point under two names: stops a stream of any kind: 1 when
 * stopped, 0 for an unknown handle. */
KR_API int32_t KR_CALL KR_4100_StopPlayBack(void *hStream);
KR_API int32_t KR_CALL KR_4100_StopDownLoad(void *hStream);
/* Sends a control code (above) for a playback stream: 1 when sent, 0 for an
 * unknown handle or a stream that is not a playback. */
KR_API int32_t KR_CALL KR_4100_PlayBackCtrl(void *hStream, int32_t nCtrl);

/* Talk: opens the session's audio channel to the recorder: its stream
 * handle, or null (refused, no answer; release 1.0.0.1 accepts only a '%'
 * reply). KR_4100_AudioSend sends the host's bytes on it unchanged, neither
 * encoded, framed nor paced: they must be in the recorder's audio format, at
 * its pace; nothing is reported. KR_4100_StopTalk takes the session handle
 * (not the stream's): 1 when there was no talk or it was closed. */
KR_API void *KR_CALL KR_4100_Talk(void *hSession);
KR_API int32_t KR_CALL KR_4100_StopTalk(void *hSession);
KR_API void KR_CALL KR_4100_AudioSend(void *hStream, const void *pData, int32_t nLen);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELNET_EXPORTS_H */
