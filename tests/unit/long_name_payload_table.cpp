// A manifest of one row whose name and key are longer than any real row's, so that every
// notice about it runs past the launcher's notice buffer.
#include "payload/payload_table.h"

#define TEN_N "nnnnnnnnnn"
#define FIFTY_N TEN_N TEN_N TEN_N TEN_N TEN_N
// 190 characters: with ".txt" the name, and the key, outrun even the shortest notice.
#define LONG_STEM FIFTY_N FIFTY_N FIFTY_N TEN_N TEN_N TEN_N TEN_N

const PayloadEntry payloadTable[] = {{3, LONG_STEM ".txt", LONG_STEM "_txt"},
                                     {0, nullptr, nullptr}};
