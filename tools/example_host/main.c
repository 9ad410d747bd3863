/* A minimal host written in plain C against the public header.
 *
 *   kestrel-example                      prints the decoder header and checks
 *                                        that every export resolves
 *   kestrel-example ADDRESS PORT [CH]    also logs in, receives live video of
 *                                        channel CH (default 0) over TCP for
 *                                        two seconds and counts the frames
 *
 * Exit status: 0 done (and at least one frame came), 1 otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "exports.h"

static const char *const kExports[] = {
    "KR_4100_AudioSend", "KR_4100_Cleanup", "KR_4100_ClearFile", "KR_4100_DownLoad",
    "KR_4100_FindFile", "KR_4100_FindNextFile", "KR_4100_GetDecoderHeader",
    "KR_4100_GetDvrParam", "KR_4100_GetThreadMessage", "KR_4100_Init", "KR_4100_Login",
    "KR_4100_Logout", "KR_4100_PlayBack", "KR_4100_PlayBackCtrl", "KR_4100_RealPlay",
    "KR_4100_SetConnectTime", "KR_4100_SetDVRMessCallBack", "KR_4100_SetDVRMessage",
    "KR_4100_SetDvrParam", "KR_4100_StopDownLoad", "KR_4100_StopPlayBack",
    "KR_4100_StopRealPlay", "KR_4100_StopTalk", "KR_4100_Talk",
};

/* Frames arrive on a library thread; the count is read on the main one. */
static pthread_mutex_t g_CountLock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long g_nFrames;
static unsigned long g_nBytes;

static void OnFrame(void *hStream, uint32_t nType, const unsigned char *pData, int32_t nLen, uint32_t dwUser)
{
    (void)hStream;
    (void)pData;
    (void)dwUser;
    if (nType > 3) {
        return; /* 255: the connection was lost */
    }
    pthread_mutex_lock(&g_CountLock);
    ++g_nFrames;
    g_nBytes += (unsigned long)nLen;
    pthread_mutex_unlock(&g_CountLock);
}

static int WatchLive(const char *address, int port, int channel)
{
    int32_t result = 0;
    void *session;
    void *stream;
    struct timespec pause = {0, 100000000L};
    unsigned long frames;
    unsigned long bytes;
    int i;

    session = KR_4100_Login(address, port, "admin", "", &result);
    if (session == NULL) {
        fprintf(stderr, "login to %s:%d failed (result %d)\n", address, port, (int)result);
        return 1;
    }
    stream = KR_4100_RealPlay(session, channel, 1, OnFrame, 0);
    if (stream == NULL) {
        fprintf(stderr, "live video of channel %d refused\n", channel);
        KR_4100_Logout(session);
        return 1;
    }
    for (i = 0; i < 20; ++i) {
        nanosleep(&pause, NULL);
    }
    KR_4100_StopRealPlay(stream);
    KR_4100_Logout(session);
    pthread_mutex_lock(&g_CountLock);
    frames = g_nFrames;
    bytes = g_nBytes;
    pthread_mutex_unlock(&g_CountLock);
    printf("live channel %d: %lu frames, %lu bytes\n", channel, frames, bytes);
    return frames > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    const unsigned char *header = (const unsigned char *)KR_4100_GetDecoderHeader(0);
    unsigned i;
    int missing = 0;
    int status;

    if (argc != 1 && argc != 3 && argc != 4) {
        fprintf(stderr, "usage: kestrel-example [ADDRESS PORT [CHANNEL]]\n");
        return 1;
    }
    if (!KR_4100_Init()) {
        fprintf(stderr, "socket layer did not start\n");
        return 1;
    }
    printf("decoder header (64 bytes):\n");
    for (i = 0; i < 64; ++i) {
        printf("%02X%s", header[i], (i % 16 == 15) ? "\n" : " ");
    }
    printf("exports:\n");
    for (i = 0; i < sizeof(kExports) / sizeof(kExports[0]); ++i) {
        void *address = dlsym(RTLD_DEFAULT, kExports[i]);
        printf("  %-28s %s\n", kExports[i], address ? "ok" : "MISSING");
        missing += address == NULL;
    }
    status = missing ? 1 : 0;
    if (status == 0 && argc >= 3) {
        status = WatchLive(argv[1], atoi(argv[2]), argc == 4 ? atoi(argv[3]) : 0);
    }
    KR_4100_Cleanup();
    return status;
}
