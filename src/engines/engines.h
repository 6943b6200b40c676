// The six ways of running a test. Each runs on the main thread, fills the
// frame records, and returns the number of frames the summary is to cover.
//
// fileName is the path buffer owned by main (kPathBufSize bytes): the target
// directory ending in "/" with namePart just behind it, or in stream mode the
// stream file itself.
#pragma once

typedef int (*EngineProc)(char* fileName, char* namePart);

int CreateOrdaviSync(char* fileName, char* namePart);
int ReadOrdaviSync(char* fileName, char* namePart);
int CreateOrdaviAsync(char* fileName, char* namePart);
int ReadOrdaviAsync(char* fileName, char* namePart);
int CreateOrdaviThreaded(char* fileName, char* namePart);
int ReadOrdaviThreaded(char* fileName, char* namePart);

// Indexed by [isWriteTest][g_testMode].
extern const EngineProc kEngines[2][3];
