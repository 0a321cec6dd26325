// For the tests of the output folder only: what they cannot arrange from outside.
#pragma once

// Called as the outputs are about to get their names, signals held, or never for nullptr.
void OnNaming(void (*hook)());
// Called once the names are given and the last look for a signal found none, signals still
// held, or never for nullptr.
void OnPlaced(void (*hook)());
