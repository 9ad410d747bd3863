/* A Windows host, written the way the library's hosts are: plain C, the
 * public header and Win32 only. It loads kestrelnet.dll with LoadLibrary,
 * checks the DLL's export directory and version resource, on 32-bit checks
 * that every export cleans its own arguments off the stack, and then drives
 * every export against a kestrel-recorder listening on 127.0.0.1.
 *
 *   kestrelnet_host_test <dll> <release> <port> <drop-port>
 *
 * release is 1.0.0.13 or 1.0.0.1; port is a recorder started normally,
 * drop-port one started with --drop-after 3 (it resets the command channel
 * at the library's third packet: the first keep-alive after the login). Exit status 0 when every
 * check passed, 1 when one failed, 2 for bad arguments. */
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/exports.h"

static int g_failures;

#define CHECK(cond, ...)                                                                                               \
  do {                                                                                                                 \
    if (!(cond)) {                                                                                                     \
      ++g_failures;                                                                                                    \
      printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);                                                           \
      printf(__VA_ARGS__);                                                                                             \
      printf("\n");                                                                                                    \
    }                                                                                                                  \
  } while (0)

/* ---- the export table ------------------------------------------------ */

struct ExportEntry {
    unsigned ordinal;
    const char *name;
    unsigned argBytes; /* on 32-bit */
};

static const struct ExportEntry kExports[] = {
    {1, "_KR_4100_AudioSend@12", 12},
    {2, "KR_4100_Cleanup", 0},
    {3, "KR_4100_ClearFile", 4},
    {4, "KR_4100_DownLoad", 24},
    {5, "KR_4100_FindFile", 20},
    {6, "KR_4100_FindNextFile", 8},
    {7, "KR_4100_GetDecoderHeader", 4},
    {8, "KR_4100_GetDvrParam", 24},
    {9, "KR_4100_Init", 0},
    {10, "KR_4100_Login", 20},
    {11, "KR_4100_Logout", 4},
    {12, "KR_4100_PlayBack", 20},
    {13, "_KR_4100_PlayBackCtrl@8", 8},
    {14, "KR_4100_RealPlay", 20},
    {15, "KR_4100_SetConnectTime", 4},
    {16, "KR_4100_SetDVRMessCallBack", 4},
    {17, "KR_4100_SetDVRMessage", 8},
    {18, "KR_4100_SetDvrParam", 16},
    {19, "KR_4100_StopDownLoad", 4},
    {20, "KR_4100_StopPlayBack", 4},
    {21, "KR_4100_StopRealPlay", 4},
    {22, "_KR_4100_StopTalk@4", 4},
    {23, "KR_4100_Talk", 4},
};
#define EXPORT_COUNT (sizeof kExports / sizeof kExports[0])

/* Names a host might try that must not be there. */
static const char *const kAbsentNames[] = {
    "KR_4100_AudioSend", "KR_4100_PlayBackCtrl", "KR_4100_StopTalk",     "KR_4100_GetThreadMessage",
    "KR_4100_Init@0",    "_KR_4100_Init@0",      "KR_4100_AudioSend@12", "DllMain",
    "DllEntryPoint",
};

static const IMAGE_EXPORT_DIRECTORY *ExportDirectory(HMODULE module, DWORD *size)
{
    const BYTE *base = (const BYTE *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    *size = dir->Size;
    return dir->VirtualAddress ? (const IMAGE_EXPORT_DIRECTORY *)(base + dir->VirtualAddress) : NULL;
}

static void CheckExportTable(HMODULE module)
{
    const BYTE *base = (const BYTE *)module;
    DWORD dirSize = 0;
    const IMAGE_EXPORT_DIRECTORY *dir = ExportDirectory(module, &dirSize);
    const DWORD *functions;
    const DWORD *names;
    const WORD *ordinals;
    DWORD dirStart;
    unsigned i, j;

    CHECK(dir != NULL, "no export directory");
    if (dir == NULL) {
        return;
    }
    CHECK(_stricmp((const char *)(base + dir->Name), "kestrelnet.dll") == 0, "module name %s",
          (const char *)(base + dir->Name));
    CHECK(dir->Base == 1, "ordinal base %lu", (unsigned long)dir->Base);
    CHECK(dir->NumberOfFunctions == EXPORT_COUNT, "%lu entry points", (unsigned long)dir->NumberOfFunctions);
    CHECK(dir->NumberOfNames == EXPORT_COUNT, "%lu names", (unsigned long)dir->NumberOfNames);
    if (dir->NumberOfFunctions != EXPORT_COUNT || dir->NumberOfNames != EXPORT_COUNT) {
        return;
    }
    functions = (const DWORD *)(base + dir->AddressOfFunctions);
    names = (const DWORD *)(base + dir->AddressOfNames);
    ordinals = (const WORD *)(base + dir->AddressOfNameOrdinals);
    dirStart = (DWORD)((const BYTE *)dir - base);

    /* Every name is one of the table's, at its ordinal; the names are in
     * byte order, since the loader looks them up by binary search. */
    for (i = 0; i < dir->NumberOfNames; ++i) {
        const char *name = (const char *)(base + names[i]);
        if (i > 0) {
            CHECK(strcmp((const char *)(base + names[i - 1]), name) < 0, "%s listed after %s", name,
                  (const char *)(base + names[i - 1]));
        }
        const unsigned ordinal = ordinals[i] + dir->Base;
        int known = 0;
        for (j = 0; j < EXPORT_COUNT; ++j) {
            if (strcmp(name, kExports[j].name) == 0) {
                known = 1;
                CHECK(ordinal == kExports[j].ordinal, "%s at ordinal %u, not %u", name, ordinal, kExports[j].ordinal);
            }
        }
        CHECK(known, "stray export %s", name);
    }
    /* Entry points: real code (no forwarders), one shared by 19 and 20, the
     * rest distinct. */
    for (i = 0; i < EXPORT_COUNT; ++i) {
        const DWORD rva = functions[i];
        CHECK(rva != 0, "ordinal %u has no entry point", i + 1);
        CHECK(rva < dirStart || rva >= dirStart + dirSize, "ordinal %u is a forwarder", i + 1);
        for (j = i + 1; j < EXPORT_COUNT; ++j) {
            const int shared = (i + 1 == 19 && j + 1 == 20);
            CHECK((functions[j] == rva) == shared, "ordinals %u and %u %s one entry point", i + 1, j + 1,
                  shared ? "are not" : "share");
        }
    }
    /* Resolution by name and by ordinal meets the same address. */
    for (i = 0; i < EXPORT_COUNT; ++i) {
        FARPROC byName = GetProcAddress(module, kExports[i].name);
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(kExports[i].ordinal));
        CHECK(byName != NULL, "%s does not resolve", kExports[i].name);
        CHECK(byName == byOrdinal, "%s: by name %p, by ordinal %p", kExports[i].name, (void *)byName,
              (void *)byOrdinal);
        CHECK((const BYTE *)byName == base + functions[kExports[i].ordinal - 1], "%s: address", kExports[i].name);
    }
    for (i = 0; i < sizeof kAbsentNames / sizeof kAbsentNames[0]; ++i) {
        CHECK(GetProcAddress(module, kAbsentNames[i]) == NULL, "%s is exported", kAbsentNames[i]);
    }
    CHECK(GetProcAddress(module, MAKEINTRESOURCEA(24)) == NULL, "ordinal 24 exists");
}

static void CheckVersionResource(const char *dllPath, const char *release)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dllPath, &ignored);
    unsigned a = 0, b = 0, c = 0, d = 0;
    void *data;
    VS_FIXEDFILEINFO *info = NULL;
    UINT infoLen = 0;

    CHECK(size != 0, "no version resource");
    if (size == 0 || sscanf(release, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        return;
    }
    data = malloc(size);
    if (data != NULL && GetFileVersionInfoA(dllPath, 0, size, data) &&
        VerQueryValueA(data, "\\", (void **)&info, &infoLen) && info != NULL) {
        CHECK(info->dwFileVersionMS == (DWORD)MAKELONG(b, a) && info->dwFileVersionLS == (DWORD)MAKELONG(d, c),
              "file version %lu.%lu.%lu.%lu, expected %s", (unsigned long)HIWORD(info->dwFileVersionMS),
              (unsigned long)LOWORD(info->dwFileVersionMS), (unsigned long)HIWORD(info->dwFileVersionLS),
              (unsigned long)LOWORD(info->dwFileVersionLS), release);
    } else {
        CHECK(0, "version resource unreadable");
    }
    free(data);
}

/* Threads of this process, to see that loading the DLL starts none. */
static unsigned CountOwnThreads(void)
{
    const DWORD self = GetCurrentProcessId();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    unsigned count = 0;
    if (snap == INVALID_HANDLE_VALUE) {
        return 0;
    }
    entry.dwSize = sizeof entry;
    if (Thread32First(snap, &entry)) {
        do {
            count += entry.th32OwnerProcessID == self;
            entry.dwSize = sizeof entry;
        } while (Thread32Next(snap, &entry));
    }
    CloseHandle(snap);
    return count;
}

/* ---- stack clean-up on 32-bit ----------------------------------------- */

#if defined(__i386__)
/* Calls fn with `words` zero arguments and returns how many bytes of them the
 * callee removed from the stack: 4 * words for __stdcall, 0 for __cdecl. */
unsigned __cdecl CallAndMeasure(FARPROC fn, unsigned words);
__asm__(".text\n"
        ".globl _CallAndMeasure\n"
        "_CallAndMeasure:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    movl 12(%ebp), %ecx\n"
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    pushl $0\n"
        "    decl %ecx\n"
        "    jmp 1b\n"
        "2:  movl %esp, %ebx\n"
        "    call *8(%ebp)\n"
        "    movl %esp, %eax\n"
        "    subl %ebx, %eax\n"
        "    leal -4(%ebp), %esp\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

/* Every export is safe to call with all-zero arguments: each refuses them
 * (null handles, names and callbacks) or does its argument-free work. */
static void CheckStackCleanup(HMODULE module)
{
    unsigned i;
    for (i = 0; i < EXPORT_COUNT; ++i) {
        FARPROC fn = GetProcAddress(module, kExports[i].name);
        if (fn == NULL) {
            continue;
        }
        const unsigned popped = CallAndMeasure(fn, kExports[i].argBytes / 4);
        CHECK(popped == kExports[i].argBytes, "%s removed %u bytes of %u", kExports[i].name, popped,
              kExports[i].argBytes);
    }
}
#endif

/* ---- the exports, typed by the header --------------------------------- */

#define KR_TYPE(name) __typeof__(&name)

static struct {
    KR_TYPE(KR_4100_Init) Init;
    KR_TYPE(KR_4100_Cleanup) Cleanup;
    KR_TYPE(KR_4100_SetConnectTime) SetConnectTime;
    KR_TYPE(KR_4100_SetDVRMessage) SetDVRMessage;
    KR_TYPE(KR_4100_SetDVRMessCallBack) SetDVRMessCallBack;
    KR_TYPE(KR_4100_GetDecoderHeader) GetDecoderHeader;
    KR_TYPE(KR_4100_Login) Login;
    KR_TYPE(KR_4100_Logout) Logout;
    KR_TYPE(KR_4100_GetDvrParam) GetDvrParam;
    KR_TYPE(KR_4100_SetDvrParam) SetDvrParam;
    KR_TYPE(KR_4100_FindFile) FindFile;
    KR_TYPE(KR_4100_FindNextFile) FindNextFile;
    KR_TYPE(KR_4100_ClearFile) ClearFile;
    KR_TYPE(KR_4100_RealPlay) RealPlay;
    KR_TYPE(KR_4100_StopRealPlay) StopRealPlay;
    KR_TYPE(KR_4100_PlayBack) PlayBack;
    KR_TYPE(KR_4100_DownLoad) DownLoad;
    KR_TYPE(KR_4100_StopPlayBack) StopPlayBack;
    KR_TYPE(KR_4100_StopDownLoad) StopDownLoad;
    KR_TYPE(KR_4100_PlayBackCtrl) PlayBackCtrl;
    KR_TYPE(KR_4100_Talk) Talk;
    KR_TYPE(KR_4100_StopTalk) StopTalk;
    KR_TYPE(KR_4100_AudioSend) AudioSend;
} kr;

/* Stores an export's address in a typed slot of kr. */
static int ResolveInto(HMODULE module, const char *exportName, void *slot, size_t size)
{
    const FARPROC address = GetProcAddress(module, exportName);
    memcpy(slot, &address, size < sizeof address ? size : sizeof address);
    return address != NULL;
}
#define RESOLVE(field, exportName) ResolveInto(module, exportName, &kr.field, sizeof kr.field)

static int ResolveAll(HMODULE module)
{
    return RESOLVE(Init, "KR_4100_Init") && RESOLVE(Cleanup, "KR_4100_Cleanup") &&
           RESOLVE(SetConnectTime, "KR_4100_SetConnectTime") && RESOLVE(SetDVRMessage, "KR_4100_SetDVRMessage") &&
           RESOLVE(SetDVRMessCallBack, "KR_4100_SetDVRMessCallBack") &&
           RESOLVE(GetDecoderHeader, "KR_4100_GetDecoderHeader") && RESOLVE(Login, "KR_4100_Login") &&
           RESOLVE(Logout, "KR_4100_Logout") && RESOLVE(GetDvrParam, "KR_4100_GetDvrParam") &&
           RESOLVE(SetDvrParam, "KR_4100_SetDvrParam") && RESOLVE(FindFile, "KR_4100_FindFile") &&
           RESOLVE(FindNextFile, "KR_4100_FindNextFile") && RESOLVE(ClearFile, "KR_4100_ClearFile") &&
           RESOLVE(RealPlay, "KR_4100_RealPlay") && RESOLVE(StopRealPlay, "KR_4100_StopRealPlay") &&
           RESOLVE(PlayBack, "KR_4100_PlayBack") && RESOLVE(DownLoad, "KR_4100_DownLoad") &&
           RESOLVE(StopPlayBack, "KR_4100_StopPlayBack") && RESOLVE(StopDownLoad, "KR_4100_StopDownLoad") &&
           RESOLVE(PlayBackCtrl, "_KR_4100_PlayBackCtrl@8") && RESOLVE(Talk, "KR_4100_Talk") &&
           RESOLVE(StopTalk, "_KR_4100_StopTalk@4") && RESOLVE(AudioSend, "_KR_4100_AudioSend@12");
}

/* ---- callbacks -------------------------------------------------------- */

enum { kUsers = 8 };
static volatile LONG g_frames[kUsers]; /* good frames, by user value */
static volatile LONG g_badFrames;      /* frames that break the frame format */
static volatile LONG g_lostNotices;    /* type 255 */
static volatile LONG g_messages;

/* Every frame starts with the library's 16-byte prefix; the recorder's video
 * payload then starts with "KV". */
static void KR_CALL OnData(void *hStream, uint32_t nType, const unsigned char *pData, int32_t nLen, uint32_t dwUser)
{
    (void)hStream;
    if (nType == 255) {
        InterlockedIncrement(&g_lostNotices);
        return;
    }
    if (nType > 3 || pData == NULL || nLen < 16 + 4 || dwUser >= kUsers) {
        InterlockedIncrement(&g_badFrames);
        return;
    }
    if (nType == 2 && (pData[16] != 'K' || pData[17] != 'V')) {
        InterlockedIncrement(&g_badFrames);
        return;
    }
    InterlockedIncrement(&g_frames[dwUser]);
}

static void KR_CALL OnMessage(uint32_t nType, void *hSession, const unsigned char *pData, uint32_t nLen)
{
    (void)hSession;
    (void)pData;
    if (nType == 101 && nLen == 12) {
        InterlockedIncrement(&g_messages);
    }
}

/* Waits (at most timeoutMs) until user's frame count reaches want. */
static int WaitFrames(unsigned user, LONG want, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (g_frames[user] < want) {
        if (GetTickCount64() >= deadline) {
            return 0;
        }
        Sleep(20);
    }
    return 1;
}

/* ---- the settings in the registry ------------------------------------- */

#define SETTINGS_KEY "Software\\TALVERN\\kestrelnet\\Settings"

static int ReadBindPort(DWORD *value)
{
    DWORD size = sizeof *value;
    return RegGetValueA(HKEY_CURRENT_USER, SETTINGS_KEY, "BindPort", RRF_RT_REG_DWORD, NULL, value, &size) ==
           ERROR_SUCCESS;
}

static int WriteBindPort(DWORD value)
{
    HKEY key;
    LSTATUS rc;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        return 0;
    }
    rc = RegSetValueExA(key, "BindPort", 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

static int LibraryKeyExists(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\TALVERN\\kestrelnet", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    RegCloseKey(key);
    return 1;
}

/* ---- driving the recorder ---------------------------------------------- */

static const DvrTime kDayStart = {2024, 3, 15, 0, 0, 0};
static const DvrTime kDayEnd = {2024, 3, 15, 23, 59, 59};

static void DriveSession(void *session)
{
    unsigned char blob[60], readBack[60];
    DvrFileRecord record;
    DvrTime downloadEnd = kDayStart;
    void *tcpLive, *udpLive, *playback, *download, *talk;
    unsigned i;
    int32_t rc;

    /* Parameters: a blob stored under a code is read back whole. */
    for (i = 0; i < sizeof blob; ++i) {
        blob[i] = (unsigned char)(i * 7 + 1);
    }
    memset(readBack, 0, sizeof readBack);
    CHECK(kr.SetDvrParam(session, 100, blob, sizeof blob) == 1, "SetDvrParam");
    CHECK(kr.GetDvrParam(session, 100, NULL, 0, readBack, sizeof readBack) == 1, "GetDvrParam");
    CHECK(memcmp(blob, readBack, sizeof blob) == 0, "parameter blob read back differs");

    /* Search: six recordings a day, value channel * 256 + number. */
    CHECK(kr.FindFile(session, 2, 0, &kDayStart, &kDayEnd) == 1, "FindFile");
    for (i = 0; i < 6; ++i) {
        memset(&record, 0, sizeof record);
        rc = kr.FindNextFile(session, &record);
        CHECK(rc == KR_4100_FIND_RECORD, "record %u: %d", i, (int)rc);
        CHECK(record.Start.nYear == 2024 && record.Start.nDay == 15 && record.Start.nHour == (int32_t)(i * 4),
              "record %u starts %d-%d %d:00", i, (int)record.Start.nYear, (int)record.Start.nDay,
              (int)record.Start.nHour);
        CHECK(record.dwValue == 2 * 256 + i + 1, "record %u value %u", i, (unsigned)record.dwValue);
    }
    CHECK(kr.FindNextFile(session, &record) == KR_4100_FIND_FINISHED, "search not finished");
    CHECK(kr.FindNextFile(session, &record) == KR_4100_FIND_NONE, "results still held");
    CHECK(kr.ClearFile(session) == 1, "ClearFile");

    /* Live over TCP and UDP. */
    CHECK(kr.RealPlay(session, 0, 1, NULL, 0) == NULL, "RealPlay without a callback");
    tcpLive = kr.RealPlay(session, 0, 1, OnData, 1);
    udpLive = kr.RealPlay(session, 1, 0, OnData, 2);
    CHECK(tcpLive != NULL && udpLive != NULL, "RealPlay: TCP %p, UDP %p", tcpLive, udpLive);
    CHECK(WaitFrames(1, 10, 8000), "TCP live: %ld frames", (long)g_frames[1]);
    CHECK(WaitFrames(2, 10, 8000), "UDP live: %ld frames", (long)g_frames[2]);
    CHECK(kr.StopRealPlay(tcpLive) == 1, "StopRealPlay TCP");
    CHECK(kr.StopRealPlay(tcpLive) == 0, "StopRealPlay twice");
    CHECK(kr.StopRealPlay(udpLive) == 1, "StopRealPlay UDP");

    /* Playback with its controls, then the shared stop entry. */
    playback = kr.PlayBack(session, 0, &kDayStart, OnData, 3);
    CHECK(playback != NULL, "PlayBack");
    CHECK(WaitFrames(3, 5, 8000), "playback: %ld frames", (long)g_frames[3]);
    CHECK(kr.PlayBackCtrl(playback, KR_4100_PLAY_PAUSE) == 1, "pause");
    CHECK(kr.PlayBackCtrl(playback, KR_4100_PLAY_STEP) == 1, "step");
    CHECK(kr.PlayBackCtrl(playback, KR_4100_PLAY_RESUME) == 1, "resume");
    CHECK(kr.StopPlayBack(playback) == 1, "StopPlayBack");
    CHECK(kr.PlayBackCtrl(playback, KR_4100_PLAY_PAUSE) == 0, "control of a stopped playback");

    /* Download: two seconds of recording, 50 frames. */
    downloadEnd.nSecond = 2;
    download = kr.DownLoad(session, 0, &kDayStart, &downloadEnd, OnData, 4);
    CHECK(download != NULL, "DownLoad");
    CHECK(WaitFrames(4, 50, 8000), "download: %ld frames", (long)g_frames[4]);
    CHECK(kr.StopDownLoad(download) == 1, "StopDownLoad");
    CHECK(kr.StopDownLoad(download) == 0, "StopDownLoad twice");

    /* Talk. */
    talk = kr.Talk(session);
    CHECK(talk != NULL, "Talk");
    for (i = 0; i < 10 && talk != NULL; ++i) {
        kr.AudioSend(talk, blob, sizeof blob);
    }
    CHECK(kr.StopTalk(session) == 1, "StopTalk");

    CHECK(g_badFrames == 0, "%ld malformed frames", (long)g_badFrames);
}

/* Working set of this process in bytes, 0 when it cannot be read. */
static SIZE_T WorkingSet(void)
{
    typedef struct {
        DWORD cb;
        DWORD PageFaultCount;
        SIZE_T PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage,
            QuotaPeakNonPagedPoolUsage, QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage;
    } Counters;
    typedef BOOL(WINAPI * GetInfo)(HANDLE, Counters *, DWORD);
    GetInfo get = (GetInfo)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo");
    Counters c;
    memset(&c, 0, sizeof c);
    c.cb = sizeof c;
    return get != NULL && get(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize : 0;
}

/* The habits of Windows hosts that stop and log out twice: every cycle's
 * session and streams get handles never seen before, the second logout or
 * stop with an old handle fails and leaves the new objects alone, and the
 * working set stays flat. */
enum { kHandleCycles = 200 };
static void *g_seen[3 * kHandleCycles + 1];
static unsigned g_nSeen;

static int Seen(void *handle)
{
    unsigned i;
    for (i = 0; i < g_nSeen; ++i) {
        if (g_seen[i] == handle) {
            return 1;
        }
    }
    g_seen[g_nSeen++] = handle;
    return 0;
}

static void CycleHandles(int port, void *previous)
{
    SIZE_T warm = 0;
    int32_t result = 0;
    unsigned i;
    g_nSeen = 0;
    Seen(previous);
    for (i = 0; i < kHandleCycles; ++i) {
        void *session = kr.Login("127.0.0.1", port, "admin", "admin", &result);
        void *live, *other;
        CHECK(session != NULL && !Seen(session), "cycle %u: session %p", i, session);
        CHECK(kr.Logout(previous) == 0, "cycle %u: a second logout of the last session", i);
        if (session == NULL) {
            return;
        }
        live = kr.RealPlay(session, (int32_t)(i % 2), 1, OnData, 5);
        CHECK(live != NULL && !Seen(live), "cycle %u: stream %p", i, live);
        CHECK(kr.StopRealPlay(live) == 1, "cycle %u: stop", i);
        other = kr.RealPlay(session, (int32_t)(1 - i % 2), 1, OnData, 6);
        CHECK(other != NULL && !Seen(other), "cycle %u: stream %p", i, other);
        CHECK(kr.StopRealPlay(live) == 0, "cycle %u: a second stop reached another stream", i);
        CHECK(kr.StopRealPlay(other) == 1, "cycle %u: the other stream was stopped by the old handle", i);
        CHECK(kr.Logout(session) == 1, "cycle %u: logout", i);
        previous = session;
        if (i == 50) {
            warm = WorkingSet();
        }
    }
    CHECK(warm == 0 || WorkingSet() < warm + 8 * 1024 * 1024, "working set grew from %lu to %lu", (unsigned long)warm,
          (unsigned long)WorkingSet());
    printf("%u login and stream cycles: no handle came back\n", (unsigned)kHandleCycles);
}

/* Takes this thread's messages with GetMessage, bounded by a timer, until a
 * disconnect notice for `wanted` comes: 1 then (the notice in *out), 0 when
 * only the timer came. Notices for other sessions (a recorder that was
 * silent for a while) are counted in *others. */
static int TakeNotice(DWORD timeoutMs, void *wanted, MSG *out, int *others)
{
    const UINT_PTR timer = SetTimer(NULL, 0, timeoutMs, NULL);
    int got = 0;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == timer) {
            break;
        }
        if (msg.message == KR_4100_DISCONNECT_MESSAGE) {
            if ((void *)msg.wParam == wanted) {
                *out = msg;
                got = 1;
                break;
            }
            ++*others;
        }
    }
    KillTimer(NULL, timer);
    return got;
}

/* Removes the messages waiting in this thread's queue; returns how many
 * disconnect notices were among them. */
static int DrainNotices(void)
{
    int notices = 0;
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        notices += msg.message == KR_4100_DISCONNECT_MESSAGE;
    }
    return notices;
}

int main(int argc, char **argv)
{
    const char *dllPath, *release;
    int port, dropPort, release1001;
    unsigned threadsBefore, threadsAfter;
    HMODULE module;
    MSG msg;
    DWORD bindPort = 0, bindPortAfterLogin = 0, bindPortAfterStream = 0;
    int32_t loginResult = 0x5A5A;
    int otherNotices = 0;
    void *session, *dropped;

    if (argc != 5) {
        fprintf(stderr, "usage: %s <dll> <release> <port> <drop-port>\n", argv[0]);
        return 2;
    }
    dllPath = argv[1];
    release = argv[2];
    port = atoi(argv[3]);
    dropPort = atoi(argv[4]);
    release1001 = strcmp(release, "1.0.0.1") == 0;
    setvbuf(stdout, NULL, _IONBF, 0);

    /* This thread takes the disconnect notice: it needs a message queue. */
    PeekMessageA(&msg, NULL, WM_USER, WM_USER, PM_NOREMOVE);

    /* Release 1.0.0.13 resumes the port walk from the registry; 1.0.0.1
     * never touches it. */
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TALVERN");
    if (!release1001) {
        CHECK(WriteBindPort(8700), "cannot seed BindPort");
    }

    threadsBefore = CountOwnThreads();
    module = LoadLibraryA(dllPath);
    CHECK(module != NULL, "LoadLibrary(%s) failed: %lu", dllPath, (unsigned long)GetLastError());
    if (module == NULL) {
        return 1;
    }
    threadsAfter = CountOwnThreads();
    CHECK(threadsBefore == threadsAfter, "loading started threads: %u before, %u after", threadsBefore, threadsAfter);
    printf("loaded %s\n", dllPath);

    CheckExportTable(module);
    CheckVersionResource(dllPath, release);
#if defined(__i386__)
    CheckStackCleanup(module);
#endif
    if (!ResolveAll(module)) {
        CHECK(0, "an export does not resolve");
        return 1;
    }
    printf("export table checked\n");

    CHECK(kr.Init() == 1, "Init");
    CHECK(kr.GetDecoderHeader(0) != NULL && memcmp(kr.GetDecoderHeader(0), "KRVIDHDR", 8) == 0, "decoder header");
    CHECK(kr.SetConnectTime(3000) == 1, "SetConnectTime");
    CHECK(kr.SetDVRMessCallBack(OnMessage) == 1, "SetDVRMessCallBack");
    CHECK(kr.SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, GetCurrentThreadId()) == 1, "SetDVRMessage");

    CHECK(kr.Login("no-such-host.invalid", port, "admin", "admin", &loginResult) == NULL, "unresolvable login");
    CHECK(loginResult == 0x5A5A, "a failed login wrote its result");

    session = kr.Login("127.0.0.1", port, "admin", "admin", &loginResult);
    CHECK(session != NULL, "Login to 127.0.0.1:%d", port);
    CHECK(loginResult != 0 && loginResult != 0x5A5A, "login result %d", (int)loginResult);
    if (session != NULL) {
        if (!release1001) {
            CHECK(ReadBindPort(&bindPortAfterLogin) && bindPortAfterLogin > 8700 && bindPortAfterLogin <= 8999,
                  "BindPort after login: %lu", (unsigned long)bindPortAfterLogin);
        }
        DriveSession(session);
        if (!release1001) {
            CHECK(ReadBindPort(&bindPortAfterStream) && bindPortAfterStream > bindPortAfterLogin,
                  "BindPort did not walk on: %lu after %lu", (unsigned long)bindPortAfterStream,
                  (unsigned long)bindPortAfterLogin);
        }
        CHECK(kr.Logout(session) == 1, "Logout");
        CHECK(kr.Logout(session) == 0, "Logout twice");
        CHECK(kr.FindFile(session, 0, 0, &kDayStart, &kDayEnd) == 0, "a stale session handle works");
    }
    printf("session driven\n");

    /* The recorder resets the command channel soon after the login: release
     * 1.0.0.13 posts the notice to this thread, 1.0.0.1 posts nothing, ever
     * (not even for the silences of the first session). */
    otherNotices = DrainNotices();
    dropped = kr.Login("127.0.0.1", dropPort, "admin", "admin", &loginResult);
    CHECK(dropped != NULL, "Login to 127.0.0.1:%d", dropPort);
    if (dropped != NULL) {
        const int got = TakeNotice(release1001 ? 2500 : 5000, dropped, &msg, &otherNotices);
        if (release1001) {
            CHECK(!got && otherNotices == 0, "release 1.0.0.1 posted %d notice(s)", got + otherNotices);
        } else {
            CHECK(got, "no disconnect notice for the dropped session");
            CHECK((DWORD)msg.lParam == inet_addr("127.0.0.1"), "notice address 0x%08lx", (unsigned long)msg.lParam);
        }
        CHECK(kr.Logout(dropped) == 1, "Logout after the drop");
    }

    CHECK(kr.Cleanup() == 1, "Cleanup");
    if (release1001) {
        CHECK(!LibraryKeyExists(), "release 1.0.0.1 wrote settings");
    } else {
        CHECK(ReadBindPort(&bindPort) && bindPort >= bindPortAfterStream, "BindPort %lu", (unsigned long)bindPort);
    }
    /* Last, as its hundreds of connections walk the local port on. */
    CHECK(kr.Init() == 1, "Init again");
    CycleHandles(port, session);
    CHECK(kr.Cleanup() == 1, "Cleanup after the cycles");
    CHECK(FreeLibrary(module), "FreeLibrary");

    printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "passed", g_failures);
    return g_failures ? 1 : 0;
}
