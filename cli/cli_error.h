// The one kind of failure the command-line host reports: a message for the user, shown as one line.
#pragma once

#include <stdexcept>
#include <string>

namespace solvantis {

// Thrown by the host's commands for every problem with the user's input or the plug-in. The message
// names the problem and the file; main() prints it as "solvantis: <message>" and exits with 1.
class CliError : public std::runtime_error {
public:
    explicit CliError(const std::string& message) : std::runtime_error(message) {}
};

// The user's interrupt (Ctrl-C, or SIGTERM) ended the command; main exits with 128 + the signal.
class Interrupted : public CliError {
public:
    explicit Interrupted(int signalNumber) : CliError("interrupted"), signal(signalNumber) {}
    int signal;
};

} // namespace solvantis
