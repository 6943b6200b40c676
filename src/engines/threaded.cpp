// Multithreaded engines: not built yet. Choosing -t fails clearly.
#include <cerrno>

#include "../messages.h"
#include "engines.h"

int CreateOrdaviThreaded(char*, char*) {
  Fatal(ENOSYS, "Multithreaded I/O (-t) is not available in this build of ordavi");
}
int ReadOrdaviThreaded(char*, char*) {
  Fatal(ENOSYS, "Multithreaded I/O (-t) is not available in this build of ordavi");
}
