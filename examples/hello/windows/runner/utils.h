#ifndef RUNNER_UTILS_H_
#define RUNNER_UTILS_H_

#include <string>
#include <vector>

// Gives the app a console of its own for its output when it has none (started from a debugger).
void CreateAndAttachConsole();

// `text` in UTF-8; "" when it cannot be converted.
std::string Utf8FromUtf16(const wchar_t* text);

// The program's command-line arguments without its own name, in UTF-8.
std::vector<std::string> GetCommandLineArguments();

#endif  // RUNNER_UTILS_H_
