// The gateway's one access decision: who a client is and whether that user
// may do an action on a recorder's channel. Every front asks it: the RTSP
// server before it makes a client's stream, the web side before it answers
// a path, and any front added later (ONVIF's WS-UsernameToken checks with
// PasswordOf and May, as the digest schemes do).
//
// The site's users come from the site file (users:), each with a crypt(3)
// hash or a password source, and their rights. The clients' user of the
// command line and of the site file's clients: block is one user with every
// right. With no user at all the gateway listens on loopback only and every
// request may do everything (the site is open).
//
// Thread safety: every method may be called on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/programs/gateway/access/login_guard.h"

namespace kn::gateway {

enum class Action {
    View,     // a channel's live video or its picture
    Archive,  // search a channel's recordings, play or download them
    Control,  // steer a playback (pause, speed, seek)
    Status,   // the gateway's state, metrics and events
};

const char *ActionName(Action action);
// "view", "archive", "control", "status"; false for any other word.
bool ActionFromName(const std::string &name, Action &action);

constexpr unsigned ActionBit(Action action) { return 1u << static_cast<unsigned>(action); }

// What a user may do on one recorder (or every one: "*").
struct AccessRight {
    std::string recorder = "*";
    std::vector<int> channels;  // empty: every channel
    unsigned actions = 0;       // ActionBit()s
    bool operator==(const AccessRight &other) const = default;
};

struct AccessUser {
    std::string name;
    std::string passwordHash;  // crypt(3) form ($y$ yescrypt, $6$ SHA-512), or
    std::string password;      // the password itself, from a file or the environment
    std::vector<AccessRight> rights;
    bool operator==(const AccessUser &other) const = default;
};

// The name of the user whose requests come without credentials, when the
// site file lists it (it has no password and may only view).
constexpr const char *kAnonymousUser = "anonymous";

struct AccessConfig {
    std::vector<AccessUser> users;
    std::string audit;  // "" none, "log" the gateway's log, else a file the lines are added to
    LoginHoldBack holdBack;
    int64_t credentialCacheMs = 60000;  // how long a checked password is remembered
    bool operator==(const AccessConfig &other) const = default;
};

// A password hash in a form this gateway checks: false with what is wrong.
bool HashFormKnown(const std::string &hash, std::string &message);

// One line of the audit trail.
struct AuditRecord {
    std::string front;  // "rtsp", "http", ...
    std::string user;   // "" nobody logged in
    std::string peer;   // the client's address
    std::string recorder;
    int channel = -1;
    std::string action;  // an ActionName, or "login"
    bool allowed = false;
    std::string path;  // what was asked for
    // A media stream's end: how long it ran and what it carried.
    bool ended = false;
    double seconds = 0;
    uint64_t bytes = 0;
};

class CAccess {
public:
    // An open site: nobody logs in, every request may do everything.
    CAccess() = default;
    // clientsUser and clientsPassword: the site's clients' user (every right).
    CAccess(AccessConfig config, const std::string &clientsUser, const std::string &clientsPassword);
    ~CAccess();
    CAccess(const CAccess &) = delete;
    CAccess &operator=(const CAccess &) = delete;

    // True when clients log in (some user is known); false for an open site.
    bool LoginNeeded() const { return !m_Users.empty(); }

    // Who the credentials of a Basic login (or any front that was sent the
    // password itself) name: the user when the password is theirs. secure:
    // the password came over TLS or from loopback; a user with a hash logs
    // in only so (a user with a password source also over clear text, as
    // RTSP clients often must). A hash check costs tens of milliseconds: a
    // password checked is remembered for a while (credentialCacheMs), by a
    // digest of user and password, never the password itself.
    std::optional<std::string> Authenticate(const std::string &user, const std::string &password, bool secure) const;

    // The password of a user with a password source, for the schemes that
    // need it (HTTP and RTSP Digest, WS-UsernameToken's digest); none for a
    // user with a hash only, an unknown user, or the anonymous user.
    std::optional<std::string> PasswordOf(const std::string &user) const;
    // The users with a password source (the digest schemes' users).
    std::vector<std::string> PasswordUsers() const;

    // user: who the front authenticated ("" when the request came without
    // credentials: the anonymous user's rights, or every right on an open
    // site). recorder "" and channel -1 widen the question: may the user do
    // the action on some recorder / some channel of the recorder (what a
    // list such as the status is then filtered by).
    bool May(const std::string &user, Action action, const std::string &recorder, int channel) const;
    // The user's rights, for the page ("" as for May).
    std::vector<AccessRight> RightsOf(const std::string &user) const;

    // Adds a line to the audit trail (when the site file asks for one).
    void Audit(const AuditRecord &record) const;
    bool Auditing() const { return !m_Config.audit.empty(); }

    // The hold-back of failed logins of one listener (made at first use).
    CLoginGuard &Guard(const std::string &listener) const;
    // Logins refused by each listener's hold-back.
    std::vector<std::pair<std::string, uint64_t>> Refusals() const;
    const LoginHoldBack &HoldBack() const { return m_Config.holdBack; }

    // Where the audit lines go when the site file says "log".
    void SetLog(std::function<void(const std::string &)> log) { m_Log = std::move(log); }

private:
    const AccessUser *Find(const std::string &user) const;

    AccessConfig m_Config;
    std::vector<AccessUser> m_Users;
    const AccessUser *m_pAnonymous = nullptr;
    std::function<void(const std::string &)> m_Log;
    mutable std::mutex m_AuditMutex;
    mutable std::FILE *m_pAuditFile = nullptr;
    // Checked credentials: digest of user and password → when checked.
    mutable std::mutex m_CacheMutex;
    mutable std::map<std::string, std::chrono::steady_clock::time_point> m_Checked;
    mutable std::mutex m_GuardsMutex;
    mutable std::map<std::string, std::unique_ptr<CLoginGuard>> m_Guards;
};

}  // namespace kn::gateway
