// forkscript's rules with one thing wrong, for a build of forkscript that
// must find the kernel disagreeing: every exit status is one more than the
// script says. Built without the define that renames play in forkscript.
#undef play
#include "script.h"

std::variant<outcome, refusal> altered_play(const script& s)
{
    std::variant<outcome, refusal> o = play(s);
    if (auto* out = std::get_if<outcome>(&o)) {
        for (fact& f : out->facts)
            f.status += f.kind == fact::exits && f.status >= 0 ? 1 : 0;
    }
    return o;
}
