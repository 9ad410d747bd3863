// The sample clip as the recorder emulator serves it: an H.264 elementary
// stream (Annex B) cut into access units, and the emulator's own wrapper
// around each one in a video frame.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/testing/emulator/wire.h"

namespace kn::emu {

// Wrapper in front of every access unit in a type-2 video frame: two magic
// bytes, then two reserved bytes. The library on the host side zeroes frame
// payload bytes 2 and 3, so nothing of value may stand there; the emulator
// sends them as zero.
inline constexpr uint8_t kClipMagic0 = 'K';
inline constexpr uint8_t kClipMagic1 = 'V';
inline constexpr size_t kClipWrapperSize = 4;
inline constexpr uint8_t kClipFrameType = 2;

// Cuts an Annex B stream into access units (tools/common).
using common::SplitAccessUnits;

// Wrapper then the access unit.
Bytes WrapAccessUnit(const Bytes &unit);

// Reads a whole file; false when it cannot be read.
bool ReadFileBytes(const std::string &path, Bytes &out);

}  // namespace kn::emu
