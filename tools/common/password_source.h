// Where a password comes from: a file (its first line), an environment
// variable, or the command line. The first two keep it out of the process
// list, which every user of the machine can read. kestrel's commands and the
// gateway (its recorder's and its clients' passwords, on the command line
// and in the site file) take passwords this one way.
#pragma once

#include <string>

namespace kn::common {

struct PasswordSource {
    std::string file;  // --password-file FILE
    std::string env;   // --password-env NAME
    std::string text;  // --password TEXT
    bool textGiven = false;

    // The password is the one typed on the command line: nothing else named
    // replaces it (what a tool warns about).
    bool FromCommandLine() const { return textGiven && file.empty() && env.empty(); }
};

// The password from the first source given: the file, the named variable,
// the command line, else defaultEnv when it is set, else "". False with a
// message when a named file cannot be read or a named variable is not set;
// what names the password in that message ("password", "RTSP password").
bool ResolvePassword(const PasswordSource &source, const char *defaultEnv, std::string &password, std::string &message,
                     const std::string &what = "password");

// The first line of a file, without its line end; false when it cannot be read.
bool ReadFirstLine(const std::string &path, std::string &out);

// The value of an environment variable; false when it is not set.
bool ReadEnvironment(const std::string &name, std::string &out);

}  // namespace kn::common
