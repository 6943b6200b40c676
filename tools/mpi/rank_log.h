// A rank's timing log, written whole or not at all.
//
// Before the run the log's place is prepared: the file that will hold it is
// created in the log's directory, so that a log that cannot be written stops
// the job before anything is measured, and a log of the same name from an
// earlier run is removed, so that it is never taken for this run's. The file
// is an unnamed one (O_TMPFILE) where the file system allows, else one named
// "NAME.tmpPID" beside the log. After the job's summary the log is written
// into it and, only once it is whole, given its name: linked to a temporary
// name and renamed over NAME. So a log that exists is whole. A rank killed
// before that leaves no log (an unnamed file vanishes with the process; a
// named one stays as NAME.tmpPID, cut).
//
// A NAME that exists and is not a regular file (a FIFO, a device, a
// symbolic link) is written in place, as ordavi does: its reader sees the
// rows as they are written. So is an existing log in a directory where no
// other file can be created.
#pragma once

#include <cstdio>
#include <string>

class RankLog {
 public:
  RankLog() = default;
  RankLog(const RankLog&) = delete;
  RankLog& operator=(const RankLog&) = delete;
  ~RankLog() { Discard(); }

  // Before the run. False with errno set when the log cannot be created.
  bool Prepare(const std::string& name);
  // Writes the log of records [0, nFrames) and gives it its name. 0, or 1
  // with "Could not write log file" and the reason on stderr.
  int Commit(int nFrames, const char* path);
  // Removes what Prepare made and Commit did not finish.
  void Discard();

 private:
  std::string name_;
  std::string tmpName_;  // the named temporary file, if one was made
  FILE* f_ = nullptr;
  bool inPlace_ = false;
};
