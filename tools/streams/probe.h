// Running one probe (a number of read and write streams at once, each a real
// ordavi run) and preparing the frames that read streams play back.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "streams.h"

namespace streams {

// The target of stream `index` (0-based) of a direction, as ordavi-mpi names
// its ranks' targets: <work>/read/rank0000, or <work>/read.rank0000 with -s.
std::string TargetOf(const Config& c, bool write, int index);

// Makes sure read streams 0 .. count-1 have their frames, writing the missing
// ones with an untimed `ordavi -w`; frames of an earlier run of the same size
// and at least as many frames are reused. `written` gets the streams this
// run wrote. False with `error` set on a failure (or a stop: then
// `signals.stopSignal` is set); a half-written stream is removed.
// `reserveBytes` is space the probe needs besides (its writers' frames).
bool PrepareReads(const Config& c, int count, int64_t reserveBytes, Signals& signals,
                  std::vector<int>* written, std::string* error);

// Runs the probe `p` (its number, role and stream counts set) and fills in
// its results from the exit statuses and the timing logs.
void RunProbe(const Config& c, Signals& signals, ProbeResult* p);

// Bytes free for an unprivileged user below `path`, or -1.
int64_t FreeBytes(const std::string& path);

}  // namespace streams
