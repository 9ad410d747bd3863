// The tools' command lines, read by CLI11: how kestrel, its gateway and
// kestrel-recorder set a parser up, check values and report usage errors,
// so that the three read and complain alike. Each tool writes its own help
// text (with its exit statuses); CLI11 only parses.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace kn::common {

enum class CommandLineOutcome {
    Parsed,
    Help,   // -h or --help
    Usage,  // a usage error; the message names the option or argument
};

// Sets app up the tools' way: -h/--help asks for help, a repeated option
// takes its last value, and what no option takes is left for ParseCommandLine
// to refuse by name.
void PrepareCommandLine(CLI::App &app);

// Parses argc arguments from argv, the program's or the command's name
// not among them. On a usage error the message says
// which option or argument is wrong and why: an unknown option ("unknown
// option '--x' for CONTEXT"), a missing value ("--port needs a value"), a
// refused value ("--port: takes 1-65535, not '0'"), a stray argument.
CommandLineOutcome ParseCommandLine(CLI::App &app, int argc, char **argv, std::string &message,
                                    const std::string &context = "");

// A check of an option's text: accepted when ok(text); else the option is
// refused as taking what ("a port number 1-65535").
CLI::Validator Takes(const std::string &what, std::function<bool(const std::string &)> ok);
// A number from low to high (above low when !lowIncluded).
CLI::Validator NumberIn(double low, double high, const std::string &what, bool lowIncluded = true);
// A whole number from low to high (decimal, or hex with 0x).
CLI::Validator IntegerIn(long long low, long long high, const std::string &what);

// What a conversion that refuses an option's text throws, worded as Takes.
[[noreturn]] void RefuseValue(const std::string &option, const std::string &what, const std::string &value);

}  // namespace kn::common
