// kestrel built without yaml-cpp: site files are refused with the reason.
#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {

bool LoadSiteConfig(const std::string &path, SiteConfig &, std::string &message)
{
    message = path + ": this kestrel was built without yaml-cpp, so it reads no site file; install "
                     "libyaml-cpp-dev and configure again, or serve one recorder with the command-line options";
    return false;
}

}  // namespace kn::gateway
