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

// Read tests, paced: hands the frame of record `pts` to the frame queue,
// yielding while the queue is full until it is accepted or g_terminate is
// set. Unless `checkPreBuffer` is false, lets playback go the first time the
// frame found at least g_framePreBufferCount frames waiting. Writes the
// record's QueueUsage and g_curQueueUsage (free places after the hand-over).
void HandOverFrame(PacingThread* p, PTIME_STATS pts, bool checkPreBuffer = true);

// Lets playback go if it never was (read tests), then joins the pacing
// thread if one was started.
void JoinPacingThread(PacingThread* p);
