// The run's configuration: every parameter global, with its meaning.
//
// All of these are written by the option loop and the size derivation before
// any thread starts and are read-only afterwards. The one exception is
// g_loopFrames, which the synchronous and asynchronous read engines may set
// during the test when the frame sequence on disk is shorter than the run;
// only the engine's own thread reads it then.
#pragma once

#include "types.h"

// How the frames are moved (g_testMode): one at a time on the main thread,
// several in flight through asynchronous I/O (-a), or by worker threads (-t).
// The values index the engine table.
enum TestMode { kSyncTest = 0, kAsyncTest = 1, kThreadedTest = 2 };

extern int g_numFrames;            // -n: frames to write or read
extern int g_numOps;               // -a / -t: overlapped operations or worker threads
extern int g_testMode;             // a TestMode
extern int g_frameRate;            // -f: frames per second, 0 = unpaced
extern int g_frameQueueSize;       // -q / -f: queued buffers before a frame is dropped
extern int g_framePreBufferCount;  // -b: frames buffered before playback starts
extern BOOL g_streamMode;          // -s: one stream file instead of a file per frame
extern int g_fileSize;             // -w / -z / -e: frame size in bytes
extern int g_headerSize;           // --header: KB added to preset frame sizes
extern int g_iosPerFrame;          // -i: I/Os per frame
extern int g_loopFrames;           // -l: distinct frames cycled through, 0 = no loop
extern int g_cropMode;             // -c: percentage of a frame read, 0 = whole frame
extern int g_numFilesPerDir;       // -d: frame files per numbered directory, 0 = none
extern char g_fileName[80];        // --name: printf pattern of a frame file name
extern char g_dirName[80];         // printf pattern of a directory name
extern int g_firstFileNum;         // --name: number of the first frame file
extern BOOL g_isReverse;           // -v
extern BOOL g_isRandom;            // -m
extern BOOL g_isOutOfOrderIo;      // -o
extern BOOL g_bufferedIo;          // -B: go through the page cache
extern int g_pause;                // -p: seconds to sleep before the clock starts
extern int g_updateInterval;       // -u: seconds between live-screen updates, 0 = none
extern int g_histogramPeriod;      // -h: seconds of history in the histogram, 0 = all
extern BOOL g_isVerbose;           // --verbose: trace lines, no live screen
extern BOOL g_noInfo;              // --noinfo, and set once the banner was shown

// Derived by the frame-set sizing before the run.
extern int g_dataSize;  // bytes moved per frame
extern int g_ioSize;    // bytes per I/O, a multiple of 4096
extern int g_ioOffset;  // offset of the first I/O within a frame (crop)

extern char g_paramsAsStr[256];  // the effective parameters in option syntax

// The random-order flags: one byte per frame number, 1 once handed out.
extern unsigned char* g_randomNumsUsed;

// Restores every parameter global to its default (used by tests and fuzzing,
// where one process parses many command lines).
void ResetParameters();
