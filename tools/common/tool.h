// What every command-line tool shares: its errors and the conventions of its main function.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Corvid::Tools {

// A command that failed; its text is the one line the user sees.
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Arguments the tool cannot make sense of.
struct UsageError : CommandError {
    using CommandError::CommandError;
};

// Runs the tool's commands (args without the program name) under the house conventions: exit 0
// on success; on a UsageError one line on standard error and 2; on any other failure one line
// naming the error and the last error the libraries logged, and 1. A closed output pipe (the
// user piped into head) is not a failure.
int tool_main(const char* name, int argc, char** argv,
              int (*run)(const std::vector<std::string>& args));

// Flushes out and throws CommandError if the output could not be written.
void finish_output(std::ostream& out);

}  // namespace Corvid::Tools
