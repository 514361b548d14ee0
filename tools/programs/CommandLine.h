// The command-line syntax the developer programs share, as GNU tools have
// it: "--name VALUE" or "--name=VALUE", -h for --help, "--" ends the
// options. A usage error goes to standard error with a pointer to --help;
// the program then exits with kExitUsage.
#pragma once

#include <cstdio>
#include <string>

#include "loop/UnixSocket.h"

#ifndef KESU_VERSION
#error "KESU_VERSION comes from the version in CMake's project()"
#endif

namespace kesu_tools {

constexpr int kExitUsage = 2;

class CommandLine {
public:
    CommandLine(char const* programName, int count, char** arguments)
        : program(programName), argc(count), argv(arguments) {}

    // Steps to the next argument; false after the last.
    bool next();
    // An option rather than an operand (a frame, or anything after "--").
    bool isOption() const { return option; }
    // The option's name without "=VALUE", or the operand.
    std::string const& name() const { return current; }
    // The argument as it was given (until value() takes the next one).
    std::string given() const { return argv[index]; }
    // True for an option given with "=VALUE".
    bool hasInlineValue() const { return inlineValue; }
    // The option's value: after "=", or the next argument. False when none is left.
    bool value(std::string& out);

    int usageError(std::string const& message) const {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, message.c_str(), program);
        return kExitUsage;
    }
    void printVersion() const { std::printf("%s %s\n", program, KESU_VERSION); }

private:
    char const* const program;
    const int argc;
    char** const argv;
    int index = 0;
    std::string current;
    std::string valueText;
    bool option = false;
    bool inlineValue = false;
    bool optionsEnded = false;
};

inline bool CommandLine::next() {
    if (++index >= argc) return false;
    current = argv[index];
    inlineValue = false;
    option = !optionsEnded && current.size() > 1 && current[0] == '-';
    if (option && current == "--") {
        optionsEnded = true;
        return next();
    }
    const size_t equals = current.find('=');
    if (option && current.rfind("--", 0) == 0 && equals != std::string::npos) {
        valueText = current.substr(equals + 1);
        current.resize(equals);
        inlineValue = true;
    }
    return true;
}

inline bool CommandLine::value(std::string& out) {
    if (inlineValue) {
        out = valueText;
        return true;
    }
    if (index + 1 >= argc) return false;
    out = argv[++index];
    return true;
}

// False, saying why, for a path that no Unix-domain address can hold.
inline bool checkSocketPath(std::string const& path, std::string& error) {
    sockaddr_un address;
    if (makeUnixAddress(path, address)) return true;
    error = "a Unix-domain socket path has 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes, not " +
        std::to_string(path.size());
    return false;
}

}  // namespace kesu_tools
