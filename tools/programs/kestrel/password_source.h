// Where a password comes from: a file (its first line), an environment
// variable, or the command line. The first two keep it out of the process
// list, which every user of the machine can read.
#pragma once

#include <string>

namespace kn::cli {

struct PasswordSource {
    std::string file;  // --password-file
    std::string env;   // --password-env NAME
    std::string text;  // -P/--password
    bool textGiven = false;
};

// The password from the first source given: the file, the named variable,
// the command line, else defaultEnv when it is set, else "". False with a
// message when a named file cannot be read or a named variable is not set.
bool ResolvePassword(const PasswordSource &source, const char *defaultEnv, std::string &password, std::string &message);

// The first line of a file, without its line end; false when it cannot be read.
bool ReadFirstLine(const std::string &path, std::string &out);

}  // namespace kn::cli
