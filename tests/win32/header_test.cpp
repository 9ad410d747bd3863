// The public header as a C++ host on Windows compiles it: the records have
// the layout of their 32-bit fields, and every export and both callback types
// are __stdcall (on 64-bit the convention is the single one of the platform).
#include "api/exports.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

namespace {

static_assert(sizeof(DvrTime) == 24 && offsetof(DvrTime, nSecond) == 20, "DvrTime: six 32-bit fields");
static_assert(sizeof(DvrFileRecord) == 52 && offsetof(DvrFileRecord, dwValue) == 48, "DvrFileRecord: 13 fields");

static_assert(
    std::is_same_v<DvrDataCallback, void(__stdcall *)(void *, uint32_t, const unsigned char *, int32_t, uint32_t)>);
static_assert(std::is_same_v<DvrMessageCallback, void(__stdcall *)(uint32_t, void *, const unsigned char *, uint32_t)>);
static_assert(std::is_same_v<decltype(&KR_4100_Init), int32_t(__stdcall *)(void)>);
static_assert(std::is_same_v<decltype(&KR_4100_AudioSend), void(__stdcall *)(void *, const void *, int32_t)>);
static_assert(std::is_same_v<decltype(&KR_4100_PlayBackCtrl), int32_t(__stdcall *)(void *, int32_t)>);
static_assert(std::is_same_v<decltype(&KR_4100_StopTalk), int32_t(__stdcall *)(void *)>);
static_assert(std::is_same_v<decltype(&KR_4100_Login),
                             void *(__stdcall *)(const char *, int32_t, const char *, const char *, int32_t *)>);

#if defined(__i386__)
// On 32-bit the conventions differ, so the checks above would fail for a
// __cdecl declaration; make sure they could.
static_assert(!std::is_same_v<void(__cdecl *)(void), void(__stdcall *)(void)>);
#endif

TEST(Win32Header, NoticeMessageAndControlCodes)
{
    EXPECT_EQ(KR_4100_DISCONNECT_MESSAGE, 0x1200u);
    EXPECT_EQ(KR_4100_PLAY_PAUSE, 0x2800);
    EXPECT_EQ(KR_4100_FIND_RECORD, 1000);
}

}  // namespace
