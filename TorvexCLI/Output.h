#pragma once

#include <string_view>

namespace torvex::cli {

// How torvex writes: straight to the descriptors, nothing held in a buffer, so lines appear at
// once and keep their order with raw bytes written by write().
namespace Output {

// `text` and "\n" to standard output, in one write.
void out(std::string_view text);
// `text` and "\n" to standard error, in one write.
void err(std::string_view text);
// `bytes` to standard output as they are.
void write(std::string_view bytes);

// The errno of the first write to standard output that failed (a full disk, a closed descriptor,
// a reader that went away); 0 while every write went through.
int standardOutputFailure();

// Standard output was closed when the program started (/dev/null only holds its number): every
// write to it fails from now on as a write to a closed descriptor does.
void standardOutputWasClosed();

} // namespace Output

} // namespace torvex::cli
