/* kestrel-example: the smallest real host. Logs in to a recorder, opens live
 * video of a channel over TCP, counts the frames it gets for a few seconds,
 * stops the stream and logs out.
 *
 *   kestrel-example [ADDRESS [PORT [CHANNEL [SECONDS]]]]
 *
 * Defaults: 127.0.0.1 5050 0 3 (a kestrel-recorder started with its
 * defaults). Exit status 0 when frames came, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <kestrelnet/kestrelnet.h>

/* Frames arrive on the library's delivery thread, so the count is atomic.
 * dwUser is only 32 bits: a host that needs a pointer per stream keeps a
 * table and passes the index. Here it picks one of two counters. */
static atomic_long g_frames[2];
static atomic_int g_lost;

static void KR_CALL OnData(void *hStream, uint32_t nType, const unsigned char *pData, int32_t nLen, uint32_t dwUser)
{
    (void)hStream;
    (void)pData;
    (void)nLen;
    if (nType == 255) {
        atomic_store(&g_lost, 1); /* the stream's connection closed */
    } else if (dwUser < 2) {
        atomic_fetch_add(&g_frames[dwUser], 1);
    }
}

int main(int argc, char **argv)
{
    const char *address = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? atoi(argv[2]) : 5050;
    const int channel = argc > 3 ? atoi(argv[3]) : 0;
    const int seconds = argc > 4 ? atoi(argv[4]) : 3;
    int32_t result = 0;
    void *session;
    void *stream;
    long frames;
    int i;

    if (!KR_4100_Init()) {
        fprintf(stderr, "the socket layer did not start\n");
        return 1;
    }
    KR_4100_SetConnectTime(3000); /* every reply waited for at most 3 s */
    session = KR_4100_Login(address, port, "admin", "", &result);
    if (session == NULL) {
        fprintf(stderr, "login to %s:%d failed (refused, unreachable or no answer)\n", address, port);
        KR_4100_Cleanup();
        return 1;
    }
    printf("logged in, result %d\n", (int)result);

    stream = KR_4100_RealPlay(session, channel, 1 /* TCP; 0 is UDP */, OnData, 0);
    if (stream == NULL) {
        fprintf(stderr, "live video of channel %d was not opened\n", channel);
        KR_4100_Logout(session);
        KR_4100_Cleanup();
        return 1;
    }
    for (i = 0; i < seconds * 10 && !atomic_load(&g_lost); ++i) {
        struct timespec tenth = {0, 100000000L};
        nanosleep(&tenth, NULL);
    }
    KR_4100_StopRealPlay(stream);
    frames = atomic_load(&g_frames[0]);
    printf("%ld frames in %d s%s\n", frames, seconds, atomic_load(&g_lost) ? " (stream lost)" : "");
    KR_4100_Logout(session);
    KR_4100_Cleanup();
    return frames > 0 ? 0 : 1;
}
