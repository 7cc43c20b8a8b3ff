#pragma once

#include <cstdlib>

// A property that must hold for every input: its failure is the finding.
inline void check(bool ok)
{
    if (!ok)
        std::abort();
}
