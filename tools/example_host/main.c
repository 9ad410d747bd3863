/* A minimal host written in plain C against the public header: prints the
 * decoder header and checks that every export of the library resolves. */
#include <dlfcn.h>
#include <stdio.h>

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

int main(void)
{
    const unsigned char *header = (const unsigned char *)KR_4100_GetDecoderHeader(0);
    unsigned i;
    int missing = 0;

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
    KR_4100_Cleanup();
    return missing ? 1 : 0;
}
