// For the tests of the outputs' naming only: what they cannot arrange from outside.
#pragma once

#include <cstddef>

// Outputs take hidden temporary names from the next one created on, as they do on a file
// system without unnamed files; false returns to unnamed files where there are any.
void UseNamedTemporariesOnly(bool namedOnly);
// Unnamed files are looked for in /proc where it is not, as where /proc is not mounted.
void HideProcFiles(bool hidden);
// Hidden names from `namer` (called with the attempt's number, from 0 for each name, to write
// at most `size` bytes with the final '\0'), or random ones again for nullptr.
void NameTemporariesWith(void (*namer)(unsigned attempt, char* name, std::size_t size));
