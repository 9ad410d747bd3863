// Which release this build of the library implements. Both releases are built
// from the same sources; KESTREL_RELEASE is set by the build (13 for 1.0.0.13,
// 1 for 1.0.0.1) and every behavioural difference tests kRelease1001.
#pragma once

#ifndef KESTREL_RELEASE
#define KESTREL_RELEASE 13
#endif

namespace kn {
inline constexpr bool kRelease1001 = (KESTREL_RELEASE == 1);
}  // namespace kn
