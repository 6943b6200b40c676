// The per-frame timing record and the run counters.
//
// PUBLICATION. Each record has one writing thread per field: the engine (or
// the worker performing the frame) writes the four phase times, the pacing
// thread writes FrameTime and, in write tests, QueueUsage. Only the engine's
// own thread publishes a finished record, by storing the new count into
// g_numFrameStats with release ordering after the record's EoClose is stored.
// Readers (the live display) load g_numFrameStats with acquire ordering and
// then read only records below the value they saw. No lock is taken anywhere
// on this path: publishing is a single store.
#pragma once

#include <atomic>
#include <cstdint>

struct TIME_STATS {
  int64_t Start;         // work on the frame began (clock ticks)
  int64_t EoOpenCreate;  // end of open/create; a copy of Start in stream mode
  int64_t EoReadWrite;   // end of the data transfer
  int64_t EoClose;       // end of close; a copy of EoReadWrite in stream mode
  int64_t FrameTime;     // paced runs: frame made available / consumed
  int32_t QueueUsage;    // paced runs: queue fill at hand-over
};
typedef TIME_STATS* PTIME_STATS;

// QueueUsage of a read test's frame that was never queued (the run stopped
// while the queue was full): it has no queue figure.
constexpr int32_t kNoQueueFigure = -1;

extern PTIME_STATS g_frameStats;           // g_numFrames records, zero-filled
extern std::atomic<int> g_numFrameStats;   // published records
extern int64_t g_bytesTransferred;         // engine's thread only
extern std::atomic<int64_t> g_startTime;   // start of the run
extern std::atomic<int64_t> g_endTime;     // end of the run
extern std::atomic<int> g_terminate;       // the run is to stop; only ever set to 1
extern std::atomic<int> g_dropFrameCount;  // pacing thread only
extern std::atomic<int> g_curQueueUsage;   // latest queue fill

// Set with g_terminate when the stop is early (an Error or a break), never by
// an engine's normal end: a program running several processes as one job
// stops the others only then.
extern std::atomic<int> g_stopRequested;

// Publishes one more finished record (engine's thread only).
inline void PublishFrame() {
  g_numFrameStats.store(g_numFrameStats.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
}

// Resets every counter to its start value (tests run many runs per process).
void ResetRunCounters();
