/* A host as the MSVC tools build it: compiled for the *-windows-msvc target,
 * no C runtime, linked by an MSVC-compatible linker against kestrelnet.lib
 * alone. Every call goes through the import library, so a wrong import name
 * or decoration fails the link, and a wrong calling convention breaks the
 * stack. Exit status 0 when every call answered as expected. */
#include "api/exports.h"

int HostEntry(void)
{
    const unsigned char *header = (const unsigned char *)KR_4100_GetDecoderHeader(0);
    int failures = 0;
    failures += header == 0 || header[0] != 'K' || header[8] != 64;
    /* Null handles: each call refuses and cleans up its own arguments. */
    KR_4100_AudioSend(0, 0, 0);
    failures += KR_4100_PlayBackCtrl(0, KR_4100_PLAY_PAUSE) != 0;
    failures += KR_4100_StopTalk(0) != 0;
    failures += KR_4100_StopDownLoad(0) != 0;
    failures += KR_4100_StopPlayBack(0) != 0;
    failures += KR_4100_Logout(0) != 0;
    failures += KR_4100_SetConnectTime(0) != 0;
    return failures;
}
