// The live statistics screen.
#pragma once

// Thread procedure: reprints the screen every g_updateInterval seconds while
// frames complete; returns once g_terminate is found set.
void* DisplayStats(void* args);

// Cuts the display thread's current sleep short; main calls it after the
// engine returned, so that a long update interval never delays the exit.
void WakeDisplayStats();
