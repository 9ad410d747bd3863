#include "tools/programs/gateway/access/access.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef KN_HAVE_LIBCRYPT
#  include <crypt.h>
#endif
#ifdef KN_HAVE_GLIB
#  include <glib.h>
#endif

namespace kn::gateway {

namespace {

constexpr unsigned kAllActions =
    ActionBit(Action::View) | ActionBit(Action::Archive) | ActionBit(Action::Control) | ActionBit(Action::Status);
constexpr size_t kMaxChecked = 1024;

// Compares without stopping at the first difference.
bool SameText(const std::string &a, const std::string &b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return diff == 0 && !b.empty();
}

bool HashMatches(const std::string &password, const std::string &hash)
{
#ifdef KN_HAVE_LIBCRYPT
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char *out = crypt_rn(password.c_str(), hash.c_str(), data.get(), static_cast<int>(sizeof(crypt_data)));
    return out != nullptr && out[0] != '*' && SameText(out, hash);
#else
    (void)password;
    (void)hash;
    return false;
#endif
}

// What a checked credential is remembered by: a digest of user and
// password; "" when none can be made (nothing is remembered then).
std::string CredentialKey(const std::string &user, const std::string &password)
{
#ifdef KN_HAVE_GLIB
    std::string text = user;
    text.push_back('\0');
    text += password;
    gchar *sum =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(text.data()), text.size());
    std::string key = sum;
    g_free(sum);
    return key;
#else
    (void)user;
    (void)password;
    return "";
#endif
}

bool Covers(const AccessRight &right, Action action, const std::string &recorder, int channel)
{
    if ((right.actions & ActionBit(action)) == 0) {
        return false;
    }
    if (!recorder.empty() && right.recorder != "*" && right.recorder != recorder) {
        return false;
    }
    return channel < 0 || right.channels.empty() ||
           std::find(right.channels.begin(), right.channels.end(), channel) != right.channels.end();
}

}  // namespace

const char *ActionName(Action action)
{
    switch (action) {
    case Action::View: return "view";
    case Action::Archive: return "archive";
    case Action::Control: return "control";
    case Action::Status: return "status";
    }
    return "?";
}

bool ActionFromName(const std::string &name, Action &action)
{
    for (Action a : {Action::View, Action::Archive, Action::Control, Action::Status}) {
        if (name == ActionName(a)) {
            action = a;
            return true;
        }
    }
    return false;
}

bool HashFormKnown(const std::string &hash, std::string &message)
{
    if (hash.rfind("$y$", 0) != 0 && hash.rfind("$6$", 0) != 0) {
        message = "a password-hash is in crypt(3)'s yescrypt ($y$...) or SHA-512 ($6$...) form (mkpasswd "
                  "--method=yescrypt writes one), not '" +
                  hash.substr(0, std::min<size_t>(hash.size(), 3)) + "...'";
        return false;
    }
    // The hash's last field, after its method, parameters and salt: 43
    // characters of yescrypt, 86 of SHA-512, in crypt's base64.
    const size_t last = hash.rfind('$');
    const size_t length = hash.rfind("$y$", 0) == 0 ? 43 : 86;
    const bool whole = last > 2 && hash.size() - last - 1 == length &&
                       hash.find_first_not_of("./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
                                              last + 1) == std::string::npos;
#ifdef KN_HAVE_LIBCRYPT
    const int ok = crypt_checksalt(hash.c_str());
    if (!whole || (ok != CRYPT_SALT_OK && ok != CRYPT_SALT_METHOD_LEGACY && ok != CRYPT_SALT_TOO_CHEAP)) {
        message = "a password-hash is not a hash crypt(3) can check (cut short or mistyped?)";
        return false;
    }
    return true;
#else
    (void)whole;
    message = "this kestrel was built without libcrypt: a password-hash cannot be checked (use password-file or "
              "password-env, or install libcrypt-dev and build again)";
    return false;
#endif
}

CAccess::CAccess(AccessConfig config, const std::string &clientsUser, const std::string &clientsPassword)
    : m_Config(std::move(config)), m_Users(m_Config.users)
{
    if (!clientsUser.empty()) {
        m_Users.push_back(AccessUser{clientsUser, "", clientsPassword, {AccessRight{"*", {}, kAllActions}}});
    }
    for (const AccessUser &u : m_Users) {
        if (u.name == kAnonymousUser) {
            m_pAnonymous = &u;
        }
    }
    if (!m_Config.audit.empty() && m_Config.audit != "log") {
        m_pAuditFile = std::fopen(m_Config.audit.c_str(), "ae");
    }
}

CAccess::~CAccess()
{
    if (m_pAuditFile != nullptr) {
        std::fclose(m_pAuditFile);
    }
}

const AccessUser *CAccess::Find(const std::string &user) const
{
    for (const AccessUser &u : m_Users) {
        if (u.name == user && u.name != kAnonymousUser) {
            return &u;
        }
    }
    return nullptr;
}

std::optional<std::string> CAccess::Authenticate(const std::string &user, const std::string &password,
                                                 bool secure) const
{
    const AccessUser *u = Find(user);
    if (u == nullptr || password.empty()) {
        return std::nullopt;
    }
    if (u->passwordHash.empty()) {
        return SameText(password, u->password) ? std::optional<std::string>(u->name) : std::nullopt;
    }
    if (!secure) {
        return std::nullopt;  // a hash user's password is never taken in clear text off loopback
    }
    const std::string key = CredentialKey(user, password);
    const auto now = std::chrono::steady_clock::now();
    const auto keep = std::chrono::milliseconds(m_Config.credentialCacheMs);
    if (!key.empty()) {
        std::lock_guard<std::mutex> lk(m_CacheMutex);
        const auto it = m_Checked.find(key);
        if (it != m_Checked.end() && now - it->second < keep) {
            return u->name;
        }
    }
    if (!HashMatches(password, u->passwordHash)) {
        return std::nullopt;
    }
    if (!key.empty() && keep.count() > 0) {
        std::lock_guard<std::mutex> lk(m_CacheMutex);
        if (m_Checked.size() >= kMaxChecked) {
            for (auto it = m_Checked.begin(); it != m_Checked.end();) {
                it = now - it->second >= keep ? m_Checked.erase(it) : std::next(it);
            }
            if (m_Checked.size() >= kMaxChecked) {
                m_Checked.clear();
            }
        }
        m_Checked[key] = now;
    }
    return u->name;
}

std::optional<std::string> CAccess::PasswordOf(const std::string &user) const
{
    const AccessUser *u = Find(user);
    if (u == nullptr || u->password.empty()) {
        return std::nullopt;
    }
    return u->password;
}

std::vector<std::string> CAccess::PasswordUsers() const
{
    std::vector<std::string> names;
    for (const AccessUser &u : m_Users) {
        if (!u.password.empty() && u.name != kAnonymousUser) {
            names.push_back(u.name);
        }
    }
    return names;
}

bool CAccess::May(const std::string &user, Action action, const std::string &recorder, int channel) const
{
    if (m_Users.empty()) {
        return user.empty();  // an open site (loopback only): nobody logs in
    }
    const AccessUser *u = user.empty() ? m_pAnonymous : Find(user);
    if (u == nullptr) {
        return false;
    }
    for (const AccessRight &right : u->rights) {
        if (Covers(right, action, recorder, channel)) {
            return true;
        }
    }
    return false;
}

std::vector<AccessRight> CAccess::RightsOf(const std::string &user) const
{
    if (m_Users.empty()) {
        return user.empty() ? std::vector<AccessRight>{AccessRight{"*", {}, kAllActions}} : std::vector<AccessRight>{};
    }
    const AccessUser *u = user.empty() ? m_pAnonymous : Find(user);
    return u != nullptr ? u->rights : std::vector<AccessRight>{};
}

void CAccess::Audit(const AuditRecord &r) const
{
    if (m_Config.audit.empty()) {
        return;
    }
    nlohmann::ordered_json line = {{"time", std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                    .count() /
                                                1000.0},
                                   {"front", r.front},
                                   {"user", r.user},
                                   {"peer", r.peer},
                                   {"action", r.action},
                                   {"allowed", r.allowed}};
    if (!r.recorder.empty()) {
        line["recorder"] = r.recorder;
    }
    if (r.channel >= 0) {
        line["channel"] = r.channel;
    }
    if (!r.path.empty()) {
        line["path"] = r.path;
    }
    if (r.ended) {
        line["ended"] = true;
        line["seconds"] = r.seconds;
        line["bytes"] = r.bytes;
    }
    const std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::lock_guard<std::mutex> lk(m_AuditMutex);
    if (m_pAuditFile != nullptr) {
        std::fprintf(m_pAuditFile, "%s\n", text.c_str());
        std::fflush(m_pAuditFile);
    } else if (m_Log) {
        m_Log("audit: " + text);
    } else if (m_Config.audit == "log") {
        std::fprintf(stderr, "audit: %s\n", text.c_str());
    }
}

CLoginGuard &CAccess::Guard(const std::string &listener) const
{
    std::lock_guard<std::mutex> lk(m_GuardsMutex);
    auto &guard = m_Guards[listener];
    if (!guard) {
        guard = std::make_unique<CLoginGuard>(m_Config.holdBack);
    }
    return *guard;
}

std::vector<std::pair<std::string, uint64_t>> CAccess::Refusals() const
{
    std::lock_guard<std::mutex> lk(m_GuardsMutex);
    std::vector<std::pair<std::string, uint64_t>> out;
    for (const auto &[listener, guard] : m_Guards) {
        out.emplace_back(listener, guard->Refusals());
    }
    return out;
}

}  // namespace kn::gateway
