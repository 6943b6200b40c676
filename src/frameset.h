// Frame naming and sizing: which file (or stream slice) each position of the
// run touches, and the frame, data and I/O sizes every engine uses.
#pragma once

// Maps position `index` to its frame number (reverse, random, loop order),
// creates the numbered directory when a new one starts, and (except in stream
// mode) writes the frame's name at `buffer` inside the path buffer fullName.
int GenFileName(char* fullName, char* buffer, int index);

void UpdateParametersForWriteTest();
void UpdateParametersForReadTest(char* fileName, char* namePart);

// Applies the --name rule to `value`: sets g_fileName and g_firstFileNum.
// Returns false (leaving both unchanged) when the value cannot make a pattern:
// empty, too long for g_fileName, or a frame number beyond a 32-bit int.
bool ApplyNamePattern(const char* value);

// Allocates the zero-filled random-order flags (one byte per frame) and
// starts a new permutation. Returns false when they cannot be allocated.
bool AllocateRandomOrder();
void FreeRandomOrder();

// Length of the longest per-frame part (directory and file name) that
// GenFileName can write in this run; the driver checks it fits the buffer.
int LongestNamePart();
