#include "tools/programs/gateway/access/access.h"

namespace kn::gateway {

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

bool CAccess::May(const std::string &user, Action action, const std::string &recorder, int channel) const
{
    // Every action of every recorder's every channel is the clients' user's.
    (void)action;
    (void)recorder;
    (void)channel;
    return user == m_ClientsUser;
}

}  // namespace kn::gateway
