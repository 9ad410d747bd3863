// A 4-byte id (session id, stream id) shared between threads. The bytes are
// kept exactly as received, in wire order, inside one 32-bit word: an atomic
// of the byte array itself is not lock-free for every compiler (clang calls
// libatomic for it), an atomic word always is.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace kn::net {

class CAtomicId {
public:
    using Id = std::array<uint8_t, 4>;

    Id load() const
    {
        const uint32_t word = m_Word.load();
        Id id;
        std::memcpy(id.data(), &word, sizeof word);
        return id;
    }
    void store(const Id &id)
    {
        uint32_t word;
        std::memcpy(&word, id.data(), sizeof word);
        m_Word.store(word);
    }
    CAtomicId &operator=(const Id &id)
    {
        store(id);
        return *this;
    }

private:
    static_assert(sizeof(Id) == sizeof(uint32_t));
    std::atomic<uint32_t> m_Word{0};
};

}  // namespace kn::net
