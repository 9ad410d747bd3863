// The shared library's face: exactly the specified names, one entry point
// for the two stop names, and the setters' refusals.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "api/exports.h"
#include "core/globals.h"
#include "core/release.h"

namespace {

// The lines a command prints.
std::vector<std::string> OutputOf(const std::string &command)
{
    std::vector<std::string> lines;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        lines.emplace_back(line);
    }
    pclose(pipe);
    return lines;
}

std::set<std::string> DynamicSymbols(const char *library)
{
    std::set<std::string> names;
    for (const std::string &line : OutputOf(std::string("nm -D --defined-only ") + library)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line.c_str(), "%63s %7s %399s", address, type, name) == 3) {
            names.insert(name);
        }
    }
    return names;
}

// The libraries the dynamic section names as needed.
std::set<std::string> NeededLibraries(const char *library)
{
    std::set<std::string> names;
    for (const std::string &line : OutputOf(std::string("readelf -d ") + library)) {
        const size_t open = line.find("(NEEDED)");
        const size_t from = line.find('[', open);
        const size_t to = line.find(']', from);
        if (open != std::string::npos && from != std::string::npos && to != std::string::npos) {
            names.insert(line.substr(from + 1, to - from - 1));
        }
    }
    return names;
}

}  // namespace

// Both releases export the same names; each test binary checks both files.
class ExportsOfRelease : public ::testing::TestWithParam<const char *> {};

TEST_P(ExportsOfRelease, SharedLibraryExportsExactlyTheInterface)
{
    const std::set<std::string> expected = {"KR_4100_AudioSend",
                                            "KR_4100_Cleanup",
                                            "KR_4100_ClearFile",
                                            "KR_4100_DownLoad",
                                            "KR_4100_FindFile",
                                            "KR_4100_FindNextFile",
                                            "KR_4100_GetDecoderHeader",
                                            "KR_4100_GetDvrParam",
                                            "KR_4100_GetThreadMessage",
                                            "KR_4100_Init",
                                            "KR_4100_Login",
                                            "KR_4100_Logout",
                                            "KR_4100_PlayBack",
                                            "KR_4100_PlayBackCtrl",
                                            "KR_4100_RealPlay",
                                            "KR_4100_SetConnectTime",
                                            "KR_4100_SetDVRMessCallBack",
                                            "KR_4100_SetDVRMessage",
                                            "KR_4100_SetDvrParam",
                                            "KR_4100_StopDownLoad",
                                            "KR_4100_StopPlayBack",
                                            "KR_4100_StopRealPlay",
                                            "KR_4100_StopTalk",
                                            "KR_4100_Talk"};
    std::set<std::string> actual = DynamicSymbols(GetParam());
    // Sanitizer builds add their own interceptor entry points; only our
    // prefix and any other name that is not a sanitizer's count.
    for (auto it = actual.begin(); it != actual.end();) {
        if (it->rfind("__asan", 0) == 0 || it->rfind("__ubsan", 0) == 0 || it->rfind("__tsan", 0) == 0 ||
            it->rfind("__sanitizer", 0) == 0) {
            it = actual.erase(it);
        } else {
            ++it;
        }
    }
    EXPECT_EQ(expected, actual);
}

// A host links the library and nothing else, whichever compiler built it:
// the library needs the C and C++ runtimes only (and a sanitizer build its
// sanitizer's runtime), and calls nothing that only libatomic provides.
TEST_P(ExportsOfRelease, NeedsOnlyTheCAndCxxRuntimes)
{
    const std::set<std::string> runtimes = {"libc.so.6",      "libm.so.6",      "libpthread.so.0", "libdl.so.2",
                                            "librt.so.1",     "libstdc++.so.6", "libgcc_s.so.1",   "libc++.so.1",
                                            "libc++abi.so.1", "libunwind.so.1"};
    const std::set<std::string> needed = NeededLibraries(GetParam());
    EXPECT_EQ(1u, needed.count("libc.so.6")) << "no dynamic section read from " << GetParam();
    for (const std::string &name : needed) {
        const bool sanitizer =
            name.rfind("libasan.so", 0) == 0 || name.rfind("libubsan.so", 0) == 0 || name.rfind("libtsan.so", 0) == 0;
        const bool loader = name.rfind("ld-linux", 0) == 0;
        EXPECT_TRUE(runtimes.count(name) != 0 || sanitizer || loader) << GetParam() << " needs " << name;
    }
    for (const std::string &line : OutputOf(std::string("nm -D --undefined-only ") + GetParam())) {
        EXPECT_EQ(std::string::npos, line.find("__atomic_")) << GetParam() << " calls " << line;
    }
}

TEST_P(ExportsOfRelease, StopPlayBackAndStopDownLoadAreOneFunction)
{
    void *library = dlopen(GetParam(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    void *playback = dlsym(library, "KR_4100_StopPlayBack");
    void *download = dlsym(library, "KR_4100_StopDownLoad");
    EXPECT_NE(nullptr, playback);
    EXPECT_EQ(playback, download);
    EXPECT_EQ(nullptr, dlsym(library, "_KR_4100_AudioSend@12"));
    dlclose(library);
}

INSTANTIATE_TEST_SUITE_P(BothReleases, ExportsOfRelease,
                         ::testing::Values(KN_SHARED_LIBRARY_1013, KN_SHARED_LIBRARY_1001),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return info.index == 0 ? std::string("Release1013") : std::string("Release1001");
                         });

TEST(Exports, TheTwoReleasesAreDistinctFiles)
{
    EXPECT_STRNE(KN_SHARED_LIBRARY_1013, KN_SHARED_LIBRARY_1001);
    EXPECT_TRUE(std::string(KN_SHARED_LIBRARY) == KN_SHARED_LIBRARY_1013 ||
                std::string(KN_SHARED_LIBRARY) == KN_SHARED_LIBRARY_1001);
}

TEST(Exports, SettersRefuseWhatTheyMust)
{
    EXPECT_EQ(3000u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(0, KR_4100_SetConnectTime(0));
    EXPECT_EQ(3000u, kn::g_dwReplyTimeout.load());
    // Release 1.0.0.1 refuses everything below 1000 ms.
    EXPECT_EQ(kn::kRelease1001 ? 0 : 1, KR_4100_SetConnectTime(1));
    EXPECT_EQ(kn::kRelease1001 ? 3000u : 1u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(kn::kRelease1001 ? 0 : 1, KR_4100_SetConnectTime(999));
    EXPECT_EQ(kn::kRelease1001 ? 3000u : 999u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(1, KR_4100_SetConnectTime(1000));
    EXPECT_EQ(1000u, kn::g_dwReplyTimeout.load());
    EXPECT_EQ(1, KR_4100_SetConnectTime(0xFFFFFFFFu));

    EXPECT_EQ(1, KR_4100_SetDVRMessage(0x1200, 77));
    // Release 1.0.0.1 accepts every registration and keeps none.
    EXPECT_EQ(kn::kRelease1001 ? 1 : 0, KR_4100_SetDVRMessage(0x1201, 99));
    EXPECT_EQ(kn::kRelease1001 ? 0u : 77u, kn::g_dwNotifyThreadId.load());
    EXPECT_EQ(kn::kRelease1001 ? 0u : 0x1200u, kn::g_uNotifyMessage.load());

    EXPECT_EQ(0, KR_4100_SetDVRMessCallBack(nullptr));
    EXPECT_EQ(nullptr, kn::g_pfnMessageCallback.load());
}

TEST(Exports, DecoderHeaderIsStableAcrossInitAndCleanup)
{
    const void *before = KR_4100_GetDecoderHeader(0);
    EXPECT_EQ(1, KR_4100_Init());
    EXPECT_EQ(before, KR_4100_GetDecoderHeader(12345));
    EXPECT_EQ(1, KR_4100_Cleanup());
    EXPECT_EQ(before, KR_4100_GetDecoderHeader(-1));
}

TEST(Exports, UnknownHandlesFailWithoutTouchingMemory)
{
    // Addresses that were never handed out, including ones that would fault
    // if dereferenced.
    DvrTime t = {2009, 1, 1, 0, 0, 0};
    void *const handles[] = {nullptr, reinterpret_cast<void *>(1), reinterpret_cast<void *>(0xDEADBEEF), &t};
    DvrFileRecord record;
    uint8_t buf[8];
    for (void *h : handles) {
        EXPECT_EQ(0, KR_4100_Logout(h));
        EXPECT_EQ(0, KR_4100_GetDvrParam(h, 33, nullptr, 0, buf, sizeof(buf)));
        EXPECT_EQ(0, KR_4100_SetDvrParam(h, 33, nullptr, 0));
        EXPECT_EQ(0, KR_4100_FindFile(h, 0, 0, &t, &t));
        EXPECT_EQ(0, KR_4100_FindNextFile(h, &record));
        EXPECT_EQ(0, KR_4100_ClearFile(h));
        EXPECT_EQ(nullptr, KR_4100_RealPlay(h, 0, 1, reinterpret_cast<DvrDataCallback>(1), 0));
        EXPECT_EQ(nullptr, KR_4100_PlayBack(h, 0, &t, reinterpret_cast<DvrDataCallback>(1), 0));
        EXPECT_EQ(nullptr, KR_4100_DownLoad(h, 0, &t, &t, nullptr, 0));
        EXPECT_EQ(0, KR_4100_StopRealPlay(h));
        EXPECT_EQ(0, KR_4100_StopPlayBack(h));
        EXPECT_EQ(0, KR_4100_StopDownLoad(h));
        EXPECT_EQ(0, KR_4100_PlayBackCtrl(h, 0x2800));
        EXPECT_EQ(nullptr, KR_4100_Talk(h));
        EXPECT_EQ(0, KR_4100_StopTalk(h));
        KR_4100_AudioSend(h, buf, sizeof(buf));
    }
}

TEST(Exports, LoginToAnUnresolvableAddressLeavesResultUntouched)
{
    int32_t result = 0x5A5A;
    EXPECT_EQ(nullptr, KR_4100_Login("no.such.host.invalid", 80, "u", "p", &result));
    EXPECT_EQ(nullptr, KR_4100_Login(nullptr, 80, "u", "p", &result));
    EXPECT_EQ(0x5A5A, result);
}

TEST(Exports, GetThreadMessageTimesOutAndRefusesNull)
{
    DvrThreadMessage message;
    EXPECT_EQ(0, KR_4100_GetThreadMessage(nullptr, 0));
    EXPECT_EQ(0, KR_4100_GetThreadMessage(&message, 20));
}

extern "C" int kn_header_compiles_as_c(void);

TEST(Exports, HeaderIsUsableFromC) { EXPECT_EQ(1, kn_header_compiles_as_c()); }
