// Every rank must run the same build: the records and results cross between
// ranks as plain bytes, so the version, the record layout and the MPI
// library must agree.
#include <cstdio>
#include <cstring>
#include <vector>

#include "rank_layer.h"
#include "stats.h"
#include "version.h"

#ifndef ORDAVI_MPI_BUILD_TAG
#define ORDAVI_MPI_BUILD_TAG ""
#endif

namespace {

constexpr int kBuildIdSize = 128;

void BuildId(char* id) {
  char lib[MPI_MAX_LIBRARY_VERSION_STRING] = {};
  int len = 0;
  MPI_Get_library_version(lib, &len);
  lib[strcspn(lib, ",\n")] = '\0';
  snprintf(id, kBuildIdSize, "ordavi-mpi %s%s, records %zu, %s", ORDAVI_VERSION,
           ORDAVI_MPI_BUILD_TAG, sizeof(TIME_STATS), lib);
}

}  // namespace

bool SameBuildEverywhere() {
  char mine[kBuildIdSize] = {};
  BuildId(mine);
  std::vector<char> all(static_cast<size_t>(kBuildIdSize) * static_cast<size_t>(g_size));
  MPI_Allgather(mine, kBuildIdSize, MPI_CHAR, all.data(), kBuildIdSize, MPI_CHAR, MPI_COMM_WORLD);
  for (int r = 0; r < g_size; r++) {
    const char* theirs = all.data() + size_t(r) * kBuildIdSize;
    if (strncmp(theirs, all.data(), kBuildIdSize) == 0) continue;
    if (g_rank == 0)
      fprintf(stderr,
              "ordavi-mpi: rank %d runs \"%.*s\" but rank 0 runs \"%.*s\": every rank must run "
              "the same build\n",
              r, kBuildIdSize, theirs, kBuildIdSize, all.data());
    return false;
  }
  return true;
}
