// For the tests of output_folder.cpp only: what they cannot arrange from outside.
#pragma once

// Outputs take hidden temporary names from the next CreateOutput on, as they do on a file
// system without unnamed files; false returns to unnamed files where there are any.
void UseNamedTemporariesOnly(bool namedOnly);
