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

void SleepMs(uint32_t ms) { Sleep(ms == INFINITE ? INFINITE - 1 : ms); }

uint64_t NowMs() { return GetTickCount64(); }

}  // namespace kn::platform
