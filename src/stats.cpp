#include "stats.h"

#include "messages.h"
#include "platform/platform.h"

PTIME_STATS g_frameStats = nullptr;
std::atomic<int> g_numFrameStats{0};
int64_t g_bytesTransferred = 0;
std::atomic<int64_t> g_startTime{0};
std::atomic<int64_t> g_endTime{0};
std::atomic<int> g_terminate{0};
std::atomic<int> g_stopRequested{0};
std::atomic<int> g_dropFrameCount{0};
std::atomic<int> g_curQueueUsage{0};

void ResetRunCounters() {
  g_numFrameStats.store(0);
  g_bytesTransferred = 0;
  g_startTime.store(0);
  g_endTime.store(0);
  g_terminate.store(0);
  g_stopRequested.store(0);
  g_dropFrameCount.store(0);
  g_curQueueUsage.store(0);
  g_userBreaks.store(0);
  ResetTestFailed();
}
