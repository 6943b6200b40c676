// What every engine does with its pacing thread: start it, hand frames to the
// playback queue, and join it at the end.
//
// PLAYBACK START SIGNAL. A read engine locks the playback mutex before it
// starts the playback thread, which blocks on that mutex until the engine has
// queued enough frames (pre-buffering) and unlocks it, once. A run that ends
// before that point (too few frames, an error, a break) must still let the
// thread go before joining it, or the join would never return; the thread
// then shows only the frames that really were released, and ends when the
// queue is empty.
#pragma once

#include "../platform/platform.h"
#include "../stats.h"
#include "../types.h"

struct PacingThread {
  THREAD thread{};
  bool started = false;          // a pacing thread exists and must be joined
  bool isPlayback = false;       // it is the playback thread of a read test
  MUTEX playbackMutex;           // read tests: the playback thread's start signal
  BOOL isThreadRunning = FALSE;  // read tests: the mutex was unlocked
};

// Write tests: starts the capture thread when the run is paced.
// Fatal(rc, "Could not create \"capture\" thread") on failure.
void StartCapture(PacingThread* p);

// Read tests: when paced, initialises and locks the playback mutex and starts
// the playback thread. Fatal with "Could not create \"playback\" mutex" or
// "Could not create \"playback\" thread" on failure.
void StartPlayback(PacingThread* p);

// Read tests: hands the frame of record `pts` to the frame queue when the
// run is paced, blocking (without spinning) while the queue is full until
// the playback thread frees a place or the run stops. Lets playback go the
// first time the frame found at least g_framePreBufferCount frames waiting,
// with the trace "- Starting PLAYBACK thread" when `traceStart` is set.
// Writes the record's QueueUsage and g_curQueueUsage (free places after the
// hand-over).
void HandOverFrame(PacingThread* p, PTIME_STATS pts, bool traceStart);

// Stream mode: opens the stream file for the run (created for a write test)
// and returns it; ends the process with "Cannot create file" or "Cannot open
// file" when it cannot. Outside stream mode: -1, nothing is opened.
HANDLE OpenStreamFile(const char* fileName, bool isWrite);

// The end of every engine's set-up and the start of its measured run: the
// -p pause, the run hook of programs built on the core, the pacing thread
// (capture for a write test, playback for a read test) and g_startTime.
void BeginRun(PacingThread* p, bool isRead);

// The end of the measured run: raises the stop flag, takes g_endTime and
// joins the pacing thread (letting playback go first if it never was).
void EndRun(PacingThread* p);

// Lets playback go if it never was (read tests), then joins the pacing
// thread if one was started.
void JoinPacingThread(PacingThread* p);
