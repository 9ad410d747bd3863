// CLoginGuard: holds back an address that keeps sending wrong credentials
// to one listener. Its first wrong logins are answered at once; past
// slowAfter, each answer is held back (delayMs more for each, up to
// maxDelayMs); at refuseAfter within windowMs the address is refused every
// login for refuseMs. Other addresses are not touched. A request without
// credentials (a client's first, before the challenge) is no failure. Also
// counts the connections of each address, for a listener that bounds them.
// Bounded: it remembers kMaxAddresses addresses at most (the stalest go).
// Thread safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace kn::gateway {

struct LoginHoldBack {
    int slowAfter = 3;
    int64_t delayMs = 500;
    int64_t maxDelayMs = 4000;
    int refuseAfter = 10;
    int64_t windowMs = 600000;
    int64_t refuseMs = 300000;
    int maxConnections = 64;  // a listener's connections from one address at once
    bool operator==(const LoginHoldBack &other) const = default;
};

class CLoginGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxAddresses = 4096;

    explicit CLoginGuard(LoginHoldBack numbers) : m_Numbers(numbers) {}

    // Whether the address is refused logins now (counted as a refusal).
    bool Refused(const std::string &address, Clock::time_point now = Clock::now());
    // A wrong login from the address: how long to hold its answer back.
    std::chrono::milliseconds Failed(const std::string &address, Clock::time_point now = Clock::now());
    // A good login: the address's failures are forgotten.
    void Succeeded(const std::string &address);
    uint64_t Refusals() const;

    // A connection from the address: false (nothing counted) when it has
    // maxConnections already.
    bool Connect(const std::string &address);
    void Disconnect(const std::string &address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point last{};
        Clock::time_point refusedUntil{};
    };
    void Prune(Clock::time_point now);

    const LoginHoldBack m_Numbers;
    mutable std::mutex m_Mutex;
    std::map<std::string, Record> m_Records;
    std::map<std::string, int> m_Connections;
    uint64_t m_nRefusals = 0;
};

}  // namespace kn::gateway
