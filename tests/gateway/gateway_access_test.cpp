// The access decision: users and their rights over recorders, channels and
// actions; password checks against crypt(3) hashes (yescrypt, SHA-512) and
// password sources, only where a hash user may send the password; and the
// hold-back of an address that keeps failing.
#include <gtest/gtest.h>

#ifdef KN_HAVE_LIBCRYPT
#  include <crypt.h>
#endif

#include <string>
#include <thread>
#include <atomic>
#include <vector>

#include "tools/programs/gateway/access/access.h"

namespace kn::gateway {
namespace {

constexpr unsigned kView = ActionBit(Action::View);
constexpr unsigned kAll =
    ActionBit(Action::View) | ActionBit(Action::Archive) | ActionBit(Action::Control) | ActionBit(Action::Status);

std::string Hash(const char *prefix, const std::string &password)
{
#ifdef KN_HAVE_LIBCRYPT
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting) == nullptr) {
        return "";
    }
    crypt_data data{};
    const char *out = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return out != nullptr ? out : "";
#else
    (void)prefix;
    (void)password;
    return "";
#endif
}

TEST(GatewayAccess, TheClientsUserMayDoEverythingAndAnOpenSiteServesOnlyRequestsWithoutCredentials)
{
    const CAccess open;
    EXPECT_FALSE(open.LoginNeeded());
    const CAccess clients(AccessConfig{}, "viewer", "pw");
    for (Action a : {Action::View, Action::Archive, Action::Control, Action::Status}) {
        EXPECT_TRUE(open.May("", a, "hall", 3));
        EXPECT_FALSE(open.May("someone", a, "hall", 3));
        EXPECT_TRUE(clients.May("viewer", a, "hall", 3));
        EXPECT_FALSE(clients.May("", a, "hall", 3));
        EXPECT_FALSE(clients.May("other", a, "", -1));
    }
    EXPECT_EQ("viewer", clients.Authenticate("viewer", "pw", false).value_or(""));
    EXPECT_FALSE(clients.Authenticate("viewer", "pW", true));
    EXPECT_FALSE(clients.Authenticate("viewer", "", true));
    EXPECT_EQ("pw", clients.PasswordOf("viewer").value_or(""));
}

TEST(GatewayAccess, EachUserMayWhatItsRightsSayOnTheRecordersAndChannelsThatTheyName)
{
    AccessConfig config;
    config.users = {
        AccessUser{"guard", "", "g", {AccessRight{"gate", {0}, kView}}},
        AccessUser{"office",
                   "",
                   "o",
                   {AccessRight{"office", {}, kView | ActionBit(Action::Archive)},
                    AccessRight{"*", {}, ActionBit(Action::Status)}}},
        AccessUser{"admin", "", "a", {AccessRight{"*", {}, kAll}}},
        AccessUser{kAnonymousUser, "", "", {AccessRight{"lobby", {1, 2}, kView}}},
    };
    const CAccess access(config, "", "");
    const struct {
        const char *user;
        Action action;
        const char *recorder;
        int channel;
        bool allowed;
    } cases[] = {
        {"guard", Action::View, "gate", 0, true},
        {"guard", Action::View, "gate", 1, false},
        {"guard", Action::Archive, "gate", 0, false},
        {"guard", Action::View, "office", 0, false},
        {"guard", Action::Status, "", -1, false},
        {"guard", Action::View, "", -1, true},
        {"guard", Action::View, "gate", -1, true},
        {"office", Action::Archive, "office", 3, true},
        {"office", Action::Control, "office", 3, false},
        {"office", Action::Status, "gate", 0, true},
        {"office", Action::View, "gate", 0, false},
        {"admin", Action::Control, "gate", 7, true},
        {"", Action::View, "lobby", 1, true},
        {"", Action::View, "lobby", 0, false},
        {"", Action::Status, "lobby", 1, false},
        {"anonymous", Action::View, "lobby", 1, false},
        {"nobody", Action::View, "lobby", 1, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.allowed, access.May(c.user, c.action, c.recorder, c.channel))
            << c.user << " " << ActionName(c.action) << " " << c.recorder << "/" << c.channel;
    }
    EXPECT_FALSE(access.PasswordOf(kAnonymousUser));
    EXPECT_FALSE(access.Authenticate(kAnonymousUser, "", true));
    EXPECT_EQ((std::vector<std::string>{"guard", "office", "admin"}), access.PasswordUsers());
}

TEST(GatewayAccess, AHashUserLogsInWithItsPasswordOnlyWhereThePasswordIsProtected)
{
    const std::string yescrypt = Hash("$y$", "gate-pw"), sha512 = Hash("$6$", "gate-pw");
    if (yescrypt.empty() || sha512.empty()) {
        GTEST_SKIP() << "built without libcrypt";
    }
    for (const std::string &hash : {yescrypt, sha512}) {
        std::string message;
        EXPECT_TRUE(HashFormKnown(hash, message)) << message;
        AccessConfig config;
        config.users = {AccessUser{"guard", hash, "", {AccessRight{"gate", {}, kView}}}};
        const CAccess access(config, "", "");
        EXPECT_FALSE(access.Authenticate("guard", "gate-pw", false)) << "in clear text off loopback";
        EXPECT_EQ("guard", access.Authenticate("guard", "gate-pw", true).value_or(""));
        EXPECT_EQ("guard", access.Authenticate("guard", "gate-pw", true).value_or("")) << "remembered";
        EXPECT_FALSE(access.Authenticate("guard", "gate-pX", true));
        EXPECT_FALSE(access.Authenticate("guard", "", true));
        EXPECT_FALSE(access.PasswordOf("guard")) << "no digest for a hash";
    }
    std::string message;
    EXPECT_FALSE(HashFormKnown("$1$ab$cdefgh", message));
    EXPECT_FALSE(HashFormKnown("$y$", message));
    EXPECT_FALSE(HashFormKnown("plain", message));
    EXPECT_EQ(std::string::npos, message.find("plain")) << "the hash is not repeated: " << message;
}

TEST(GatewayAccess, AnAddressThatKeepsFailingIsSlowedThenRefusedAndTheOthersAreNot)
{
    LoginHoldBack numbers;
    numbers.slowAfter = 2;
    numbers.delayMs = 100;
    numbers.maxDelayMs = 250;
    numbers.refuseAfter = 6;
    numbers.windowMs = 10000;
    numbers.refuseMs = 5000;
    CLoginGuard guard(numbers);
    const auto t0 = CLoginGuard::Clock::now();
    using ms = std::chrono::milliseconds;
    const std::vector<int64_t> delays{0, 0, 100, 200, 250};
    for (size_t i = 0; i < delays.size(); ++i) {
        EXPECT_FALSE(guard.Refused("10.0.0.1", t0));
        EXPECT_EQ(ms(delays[i]), guard.Failed("10.0.0.1", t0)) << "failure " << i + 1;
    }
    guard.Failed("10.0.0.1", t0);  // the sixth
    EXPECT_TRUE(guard.Refused("10.0.0.1", t0 + ms(1)));
    EXPECT_TRUE(guard.Refused("10.0.0.1", t0 + ms(4999)));
    EXPECT_FALSE(guard.Refused("10.0.0.2", t0 + ms(1))) << "another address";
    EXPECT_EQ(ms(0), guard.Failed("10.0.0.2", t0 + ms(1)));
    EXPECT_FALSE(guard.Refused("10.0.0.1", t0 + ms(5000))) << "the refusal ends";
    EXPECT_EQ(2u, guard.Refusals());
    // Failures long apart do not add up; a good login forgets them.
    EXPECT_EQ(ms(0), guard.Failed("10.0.0.3", t0));
    EXPECT_EQ(ms(0), guard.Failed("10.0.0.3", t0 + ms(20000)));
    EXPECT_EQ(ms(0), guard.Failed("10.0.0.3", t0 + ms(20001)));
    guard.Succeeded("10.0.0.3");
    EXPECT_EQ(ms(0), guard.Failed("10.0.0.3", t0 + ms(20002)));
    // Remembers a bounded number of addresses.
    for (size_t i = 0; i < CLoginGuard::kMaxAddresses + 100; ++i) {
        guard.Failed("a" + std::to_string(i), t0 + ms(30000));
    }
    // Connections per address.
    numbers.maxConnections = 2;
    CLoginGuard connections(numbers);
    EXPECT_TRUE(connections.Connect("x"));
    EXPECT_TRUE(connections.Connect("x"));
    EXPECT_FALSE(connections.Connect("x"));
    EXPECT_TRUE(connections.Connect("y"));
    connections.Disconnect("x");
    EXPECT_TRUE(connections.Connect("x"));
}

TEST(GatewayAccess, ChecksFromManyThreadsAtOnceAgree)
{
    const std::string hash = Hash("$6$", "pw");
    AccessConfig config;
    config.users = {AccessUser{"u", hash, "", {AccessRight{"*", {}, kView}}}, AccessUser{"p", "", "pp", {}}};
    const CAccess access(config, "", "");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const bool good = (i + t) % 2 == 0;
                if (!hash.empty() && access.Authenticate("u", good ? "pw" : "px", true).has_value() != good) {
                    ++wrong;
                }
                if (access.Authenticate("p", good ? "pp" : "px", false).has_value() != good) {
                    ++wrong;
                }
                access.Guard("http").Failed("10.0.0." + std::to_string(i % 7));
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
}  // namespace kn::gateway
