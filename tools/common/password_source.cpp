#include "tools/common/password_source.h"

#include <cstdlib>
#include <fstream>

namespace kn::common {

bool ReadFirstLine(const std::string &path, std::string &out)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    out.clear();
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r') {
        out.pop_back();
    }
    return true;
}

bool ReadEnvironment(const std::string &name, std::string &out)
{
    const char *v = std::getenv(name.c_str());
    if (v == nullptr) {
        return false;
    }
    out = v;
    return true;
}

bool ResolvePassword(const PasswordSource &source, const char *defaultEnv, std::string &password, std::string &message,
                     const std::string &what)
{
    if (!source.file.empty()) {
        if (!ReadFirstLine(source.file, password)) {
            message = "cannot read the " + what + " file " + source.file;
            return false;
        }
        return true;
    }
    if (!source.env.empty()) {
        if (!ReadEnvironment(source.env, password)) {
            message = "the environment variable " + source.env + " is not set";
            return false;
        }
        return true;
    }
    if (source.textGiven) {
        password = source.text;
        return true;
    }
    if (defaultEnv == nullptr || !ReadEnvironment(defaultEnv, password)) {
        password.clear();
    }
    return true;
}

}  // namespace kn::common
