// Prompt-and-read, shared by the two thread worker programs.
#pragma once

#include <cstdint>

// Writes `prompt` (no line end) and makes sure it is out before reading, then
// reads one decimal integer from standard input as "%d" would: leading white
// space is skipped, an optional sign and digits are taken, and whatever follows
// is left unread. Unlike "%d", every input gives a defined n: 0 when no integer
// can be read (end of input, or something that is not a number), and the
// nearest limit of the 32-bit range for a number outside it.
// Returns false, having reported why, when the prompt cannot be written or
// standard input cannot be read.
bool prompt_and_read(const char* prompt, std::int32_t& n);
