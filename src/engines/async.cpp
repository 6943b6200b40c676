// Asynchronous engines: not built yet. Choosing -a fails clearly.
#include <cerrno>

#include "../messages.h"
#include "engines.h"

int CreateOrdaviAsync(char*, char*) {
  Fatal(ENOSYS, "Asynchronous I/O (-a) is not available in this build of ordavi");
}
int ReadOrdaviAsync(char*, char*) {
  Fatal(ENOSYS, "Asynchronous I/O (-a) is not available in this build of ordavi");
}
