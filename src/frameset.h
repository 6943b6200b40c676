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

// The largest frame number the run will generate: -n limits it, and so
// does -l.
int LargestFrameNumber();

// A read test could not open the frame file of position `frameIndex` (errno
// `err`; fileName holds its path, namePart where the per-frame part starts).
// True when that is the end of the sequence on disk, so that the run goes on
// over the frames before it: the file is missing, the order is sequential,
// it is not the first position, and the next frame file is not there either.
// A missing frame whose successor exists is a gap, reported like any other
// failed open. Keeps errno as it was.
bool SequenceEndsAt(char* fileName, char* namePart, int frameIndex, int err);

// Length of the longest per-frame part (directory and file name) that
// GenFileName can write in this run; the driver checks it fits the buffer.
int LongestNamePart();
