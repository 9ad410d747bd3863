// The gateway's one access decision: whether a user may do an action on a
// recorder's channel. Every front asks it before it serves a request (the
// RTSP server before it makes a client's stream, the web side before it
// answers a path). Today the site knows one user, the clients' user of the
// site file (--rtsp-user), who may do everything; with no such user the
// gateway listens on loopback only and every request is that user's.
#pragma once

#include <string>

namespace kn::gateway {

enum class Action {
    View,     // a channel's live video or its picture
    Archive,  // search a channel's recordings, play or download them
    Control,  // steer a playback (pause, speed, seek)
    Status,   // the gateway's state and metrics
};

const char *ActionName(Action action);

class CAccess {
public:
    // clientsUser: the site's one user ("" when clients do not log in).
    explicit CAccess(std::string clientsUser = "") : m_ClientsUser(std::move(clientsUser)) {}

    // user: who the front authenticated ("" when nobody logged in);
    // recorder "" and channel -1 for the site as a whole (Status).
    bool May(const std::string &user, Action action, const std::string &recorder, int channel) const;

private:
    std::string m_ClientsUser;
};

}  // namespace kn::gateway
