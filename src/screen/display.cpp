// The display thread: looks at the published records every update interval
// and reprints the whole screen when frames completed since its last look.
//
// READING THE RECORDS. The thread takes no lock on the engines' path. It
// loads g_numFrameStats once per refresh with acquire ordering, which makes
// the time stamps of every record below that count visible, and reads only
// those records, in place. The figures come from display_screen.cpp.
//
// SLEEPING. Between looks the thread waits on a condition variable with a
// time limit instead of sleeping outright, so that the end of the run cuts
// the wait short: the engine sets g_terminate when its loop ends, and main
// then calls WakeDisplayStats before joining this thread. The wait's
// predicate is g_terminate itself, and WakeDisplayStats passes through the
// mutex before notifying, so a stop that comes just before the thread starts
// to wait is not missed. A run with a long update interval thus still exits
// as soon as the engine returns.
#include "display.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "../messages.h"
#include "../params.h"
#include "../platform/platform.h"
#include "../run_hooks.h"
#include "../stats.h"
#include "display_screen.h"

namespace {

std::mutex g_displayMutex;
std::condition_variable g_displayWake;

bool Terminating() { return g_terminate.load(std::memory_order_acquire) != 0; }

// Waits `seconds` whole seconds, or less once the run has been stopped.
void SleepUnlessStopped(int seconds) {
  std::unique_lock<std::mutex> lock(g_displayMutex);
  g_displayWake.wait_for(lock, std::chrono::seconds(seconds), Terminating);
}

}  // namespace

void WakeDisplayStats() {
  { std::lock_guard<std::mutex> lock(g_displayMutex); }
  g_displayWake.notify_all();
}

void* DisplayStats(void*) {
  // A break is for the engine's thread; a screen is never cut by one.
  BlockStopSignals();
  const DisplaySettings settings = DisplaySettingsFromGlobals();
  DisplayState state;
  ClearHistogram(&state.hist);
  // The screen is large (the histogram text); it is kept off the stack.
  auto screen = std::make_unique<Screen>();
  int wait = 1;

  for (;;) {
    SleepUnlessStopped(wait);
    if (Terminating()) return nullptr;

    const int numStats = g_numFrameStats.load(std::memory_order_acquire);
    if (numStats > state.oldNumStats) {
      // Looks every second until the first frames are there, then every
      // update interval.
      wait = g_updateInterval > 0 ? g_updateInterval : 1;
      RefreshScreen(&state, g_frameStats, numStats, g_startTime.load(std::memory_order_acquire),
                    settings, screen.get());
      if (Terminating()) return nullptr;

      screen->dropFrameCount = g_dropFrameCount.load(std::memory_order_relaxed);
      screen->curQueueUsage = g_curQueueUsage.load(std::memory_order_relaxed);
      const std::string text = FormatScreen(*screen, settings);
      ClearScreen();
      if (printf("%s", text.c_str()) < 0) NoteStdoutFailure(errno);
      if (g_runHooks.afterScreen) g_runHooks.afterScreen();
    }
    if (Terminating()) return nullptr;
  }
}
