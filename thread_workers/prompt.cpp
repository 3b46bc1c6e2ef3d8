#include "prompt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "fail.h"

bool prompt_and_read(const char* prompt, std::int32_t& n)
{
    // A pipe or a file is fully buffered: without the flush the prompt would
    // sit in the buffer while the program waits for the answer to it.
    if (std::fputs(prompt, stdout) == EOF || std::fflush(stdout) == EOF) {
        fail("write", errno);
        return false;
    }

    int c = std::getchar();
    while (c != EOF && std::isspace(c))
        c = std::getchar();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getchar();
    }
    // The magnitude is held at the limit once it reaches it, so it never grows
    // past what a 64-bit value can hold however many digits follow.
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    bool digits = false;
    for (; c != EOF && std::isdigit(c); c = std::getchar()) {
        digits = true;
        magnitude = std::min(magnitude * 10 + (c - '0'), limit);
    }
    if (c != EOF) {
        // One character pushed back after a read always fits.
        static_cast<void>(std::ungetc(c, stdin));
    } else if (std::ferror(stdin)) {
        fail("read", errno);
        return false;
    }
    n = digits ? static_cast<std::int32_t>(negative ? -magnitude : magnitude) : 0;
    return true;
}
