#include "tools/common/command_line.h"

#include <algorithm>
#include <cmath>

namespace kn::common {

namespace {

std::string TakesMessage(const std::string &what, const std::string &value)
{
    return "takes " + what + ", not '" + value + "'";
}

bool IsNumber(const std::string &text)
{
    double v = 0;
    return CLI::detail::lexical_cast(text, v);
}

}  // namespace

void PrepareCommandLine(CLI::App &app)
{
    app.set_help_flag("-h,--help");
    app.allow_extras();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CommandLineOutcome ParseCommandLine(CLI::App &app, int argc, char **argv, std::string &message,
                                    const std::string &context)
{
    // CLI11 takes a list of arguments last first.
    std::vector<std::string> args(argv, argv + argc);
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp &) {
        return CommandLineOutcome::Help;
    } catch (const CLI::ArgumentMismatch &e) {
        // "NAME: 1 required TYPE missing", or too many values for a flag.
        const std::string what = e.what();
        const size_t colon = what.find(": ");
        message = colon != std::string::npos && what.find("missing", colon) != std::string::npos
                      ? what.substr(0, colon) + " needs a value"
                      : what;
        return CommandLineOutcome::Usage;
    } catch (const CLI::ParseError &e) {
        message = e.what();
        return CommandLineOutcome::Usage;
    }
    const std::vector<std::string> rest = app.remaining();
    if (!rest.empty()) {
        const std::string &arg = rest.front();
        if (arg.size() > 1 && arg[0] == '-' && !IsNumber(arg)) {
            message =
                "unknown option '" + arg.substr(0, arg.find('=')) + "'" + (context.empty() ? "" : " for " + context);
        } else {
            message = "unexpected argument '" + arg + "'";
        }
        return CommandLineOutcome::Usage;
    }
    return CommandLineOutcome::Parsed;
}

CLI::Validator Takes(const std::string &what, std::function<bool(const std::string &)> ok)
{
    return CLI::Validator([what, ok](std::string &text) { return ok(text) ? std::string() : TakesMessage(what, text); },
                          what);
}

CLI::Validator NumberIn(double low, double high, const std::string &what, bool lowIncluded)
{
    return Takes(what, [low, high, lowIncluded](const std::string &text) {
        double v = 0;
        return CLI::detail::lexical_cast(text, v) && std::isfinite(v) && (lowIncluded ? v >= low : v > low) &&
               v <= high;
    });
}

CLI::Validator IntegerIn(long long low, long long high, const std::string &what)
{
    return Takes(what, [low, high](const std::string &text) {
        long long v = 0;
        return CLI::detail::lexical_cast(text, v) && v >= low && v <= high;
    });
}

void RefuseValue(const std::string &option, const std::string &what, const std::string &value)
{
    throw CLI::ValidationError(option, TakesMessage(what, value));
}

}  // namespace kn::common
