// The Win32 backend's thread helpers: thread ids, names, sleeping and the
// monotonic clock. The threads themselves and their stop rule are common code.
#include "platform/thread.h"

#include "platform/win32/win32.h"

namespace kn::platform {

namespace {

using SetDescriptionFn = HRESULT(WINAPI *)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on; older systems simply
// leave threads unnamed.
SetDescriptionFn FindSetThreadDescription()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SetDescriptionFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
}

}  // namespace

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void NameCurrentThread(const char *name)
{
    static const SetDescriptionFn setDescription = FindSetThreadDescription();
    if (setDescription == nullptr || name == nullptr) {
        return;
    }
    wchar_t wide[16] = {};
    for (size_t i = 0; i + 1 < sizeof wide / sizeof wide[0] && name[i] != '\0'; ++i) {
        wide[i] = static_cast<unsigned char>(name[i]);  // names are ASCII
    }
    (void)setDescription(GetCurrentThread(), wide);
}

// Sleep may end up to a clock tick early; sleep again for what is left.
void SleepMs(uint32_t ms)
{
    const uint64_t end = NowMs() + ms;
    for (uint64_t now = NowMs(); now < end; now = NowMs()) {
        Sleep(static_cast<DWORD>(end - now));
    }
}

// The performance counter: monotonic and fine-grained, where the tick count
// moves in steps of 10-16 ms.
uint64_t NowMs()
{
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    // Split to keep ticks * 1000 from overflowing.
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

}  // namespace kn::platform
