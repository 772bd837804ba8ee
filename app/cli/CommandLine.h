// The command line of every program without a window (kelvane-cli, kelvane-seal,
// kelvane-devserver), read one way: GNU getopt_long underneath, so "--opt value" and "--opt=value",
// options before or after the operands, and "--" to end the options; --help and --version built in.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct CCommandLineOption
{
    const char* name; // without the leading "--"
    bool takesValue;
    // Called with the value (empty for an option without one); false refuses the value, after a
    // message of its own on standard error.
    std::function<bool(const std::string& value)> take;
};

// The usual takers: the option's value kept in a field, or a flag set by its presence.
inline std::function<bool(const std::string&)> StoreValue(std::string& field)
{
    return [&field](const std::string& value) {
        field = value;
        return true;
    };
}

inline std::function<bool(const std::string&)> SetFlag(bool& flag)
{
    return [&flag](const std::string&) {
        flag = true;
        return true;
    };
}

struct CCommandLine
{
    // Set when the program ends here: 0 after --help (the usage on standard output) or --version,
    // 2 after a usage error (the reason and a pointer to --help on standard error).
    std::optional<int> exitStatus;
    std::vector<std::string> operands;
};

// Reads argv against options. program names the program in messages and in --version.
CCommandLine ReadCommandLine(const char* program, const char* usage,
    const std::vector<CCommandLineOption>& options, int argc, char** argv);
