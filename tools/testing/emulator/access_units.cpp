#include "tools/testing/emulator/access_units.h"

#include <fstream>
#include <iterator>

namespace kn::emu {

Bytes WrapAccessUnit(const Bytes &unit)
{
    Bytes out{kClipMagic0, kClipMagic1, 0, 0};
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

bool ReadFileBytes(const std::string &path, Bytes &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace kn::emu
