// The terminal hook of the live display.
#include <unistd.h>

#include <cstdio>

#include "../platform.h"

// On a terminal each screen replaces the previous one (cursor home, clear
// the screen), like top. Into a pipe or a file nothing is added, so captured
// output holds only the screens themselves.
void ClearScreen() {
  static const bool isTerminal = isatty(STDOUT_FILENO) == 1;
  if (isTerminal) printf("\033[H\033[2J");
}
