// Splitting a command-line text into arguments the way Windows programs do, so that a program
// started on Linux receives exactly the argument vector its Windows build would.
#pragma once

#include <string>
#include <vector>

namespace km {

// The C runtime's rules (as CommandLineToArgvW and the Visual C++ runtime apply them to
// everything after the program name): blanks and tabs separate arguments; a double quote
// starts or ends a quoted part in which blanks are kept; inside a quoted part two double
// quotes give one literal quote; 2n backslashes before a quote give n backslashes and the
// quote acts as above, 2n+1 give n backslashes and a literal quote; backslashes not followed
// by a quote are kept as they are. "" on its own is an empty argument.
std::vector<std::string> split_windows_command_line(const std::string& text);

// A whole command line, program first: the program is read by the rules for a program name (a
// quoted part ends at the next quote, backslashes are never special), the rest as above.
// Empty when the text holds no program.
std::vector<std::string> split_program_command_line(const std::string& command_line);

}  // namespace km
