#include "tools/programs/kestrel/password_source.h"

#include <cstdlib>
#include <fstream>

namespace kn::cli {

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

bool ResolvePassword(const PasswordSource &source, const char *defaultEnv, std::string &password, std::string &message)
{
    if (!source.file.empty()) {
        if (!ReadFirstLine(source.file, password)) {
            message = "cannot read the password file " + source.file;
            return false;
        }
        return true;
    }
    if (!source.env.empty()) {
        const char *v = std::getenv(source.env.c_str());
        if (v == nullptr) {
            message = "the environment variable " + source.env + " is not set";
            return false;
        }
        password = v;
        return true;
    }
    if (source.textGiven) {
        password = source.text;
        return true;
    }
    const char *v = defaultEnv != nullptr ? std::getenv(defaultEnv) : nullptr;
    password = v != nullptr ? v : "";
    return true;
}

}  // namespace kn::cli
