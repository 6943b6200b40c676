// The frame file set: naming each position's file and deriving the sizes.
//
// Positions 0..g_numFrames-1 map to frame numbers (reverse, random, loop);
// a frame's file is named with g_firstFileNum + its number, and with -d the
// files are spread over numbered directories by *position*, so the files
// handled together share a directory whatever the order. In a stream test a
// frame number n is the slice at n * g_fileSize of the one stream file.
//
// Sizes: direct I/O needs every size and offset to be a multiple of 4096.
// A write test rounds the frame size up; a read test learns it from the
// first frame file and rounds it down, and crops it in the middle with -c.
#include "frameset.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "messages.h"
#include "params.h"
#include "platform/platform.h"
#include "types.h"

namespace {

constexpr int64_t kAlign = 4096;

int64_t RoundUp(int64_t v) { return (v + kAlign - 1) / kAlign * kAlign; }
int64_t RoundDown(int64_t v) { return v / kAlign * kAlign; }

// Frame numbers handed out so far in random order; once every number was
// used the flags start over, so a caller asking for more names than frames
// gets a new permutation instead of an endless draw.
int g_randomNumsHandedOut = 0;

int RandomFrameNumber() {
  if (g_randomNumsHandedOut >= g_numFrames) {
    memset(g_randomNumsUsed, 0, size_t(g_numFrames));
    g_randomNumsHandedOut = 0;
  }
  int fnum;
  do {
    fnum = int(random() % g_numFrames);
  } while (g_randomNumsUsed[fnum] != 0);
  g_randomNumsUsed[fnum] = 1;
  g_randomNumsHandedOut++;
  return fnum;
}

// Appends `text` to `out`, doubling every "%" so the pattern's only
// conversion is the one the name rule inserts.
void AppendLiteral(std::string* out, const char* begin, const char* end) {
  for (const char* p = begin; p < end; p++) {
    if (*p == '%') *out += '%';
    *out += *p;
  }
}

// Bytes per I/O: the data size split into `ios` pieces, rounded up to a
// multiple of 4096. More pieces than 4096-byte blocks would round to 0, and
// a transfer loop moving 0 bytes never ends: while there is data, an I/O
// moves at least 4096 bytes (the frame then takes fewer I/Os than asked).
int IoSizeFor(int dataSize, int ios) {
  int64_t size = RoundUp(dataSize / ios);
  if (dataSize > 0 && size < kAlign) size = kAlign;
  return int(size);
}

}  // namespace

int GenFileName(char* fullName, char* buffer, int index) {
  int fnum;
  if (g_isRandom && g_randomNumsUsed)
    fnum = RandomFrameNumber();
  else if (g_isReverse)
    fnum = g_numFrames - 1 - index;
  else
    fnum = index;

  // The driver has checked that the longest name fits behind the path.
  char* pos = buffer;
  size_t room = size_t(kPathBufSize - (buffer - fullName));
  if (!g_streamMode && g_numFilesPerDir != 0) {
    int n = snprintf(pos, room, g_dirName, index / g_numFilesPerDir);
    if (n < 0 || size_t(n) + 1 >= room) return fnum;
    if (index % g_numFilesPerDir == 0) mkdir(fullName, 0700);
    pos[n] = '/';
    pos += n + 1;
    room -= size_t(n) + 1;
  }

  if (g_loopFrames != 0) fnum %= g_loopFrames;
  if (g_streamMode) return fnum;

  snprintf(pos, room, g_fileName, g_firstFileNum + fnum);
  return fnum;
}

bool AllocateRandomOrder() {
  FreeRandomOrder();
  g_randomNumsUsed = new (std::nothrow) unsigned char[size_t(g_numFrames)]();
  g_randomNumsHandedOut = 0;
  return g_randomNumsUsed != nullptr;
}

void FreeRandomOrder() {
  delete[] g_randomNumsUsed;
  g_randomNumsUsed = nullptr;
}

int LargestFrameNumber() {
  int maxFnum = g_numFrames - 1;
  if (g_loopFrames != 0 && g_loopFrames - 1 < maxFnum) maxFnum = g_loopFrames - 1;
  return maxFnum < 0 ? 0 : maxFnum;
}

bool SequenceEndsAt(char* fileName, char* namePart, int frameIndex, int err) {
  if (err != ENOENT || frameIndex <= 0 || g_isRandom || g_isReverse || g_streamMode) return false;
  if (g_loopFrames != 0 && g_loopFrames <= frameIndex) return false;
  // The path of the next position (in sequential order, the next frame
  // number), built in a copy and without creating its directory: this is a
  // question about what is on disk, not a step of the run.
  int savedErrno = errno;
  char next[kPathBufSize];
  memcpy(next, fileName, size_t(namePart - fileName));
  char* pos = next + (namePart - fileName);
  size_t room = sizeof next - size_t(pos - next);
  int index = frameIndex + 1;
  bool built = true;
  if (g_numFilesPerDir != 0) {
    int n = snprintf(pos, room, g_dirName, index / g_numFilesPerDir);
    if (n < 0 || size_t(n) + 1 >= room) built = false;
    if (built) {
      pos[n] = '/';
      pos += n + 1;
      room -= size_t(n) + 1;
    }
  }
  if (built) {
    int n = snprintf(pos, room, g_fileName, int(int64_t(g_firstFileNum) + index));
    built = n >= 0 && size_t(n) < room;
  }
  struct stat st;
  bool nextExists = built && stat(next, &st) == 0;
  errno = savedErrno;
  return !nextExists;
}

int LongestNamePart() {
  char tmp[512];
  int len = 0;
  if (g_numFilesPerDir != 0 && g_numFrames > 0) {
    int n = snprintf(tmp, sizeof tmp, g_dirName, (g_numFrames - 1) / g_numFilesPerDir);
    len += n + 1;
  }
  // Widest number used: the largest frame number of the run.
  len += snprintf(tmp, sizeof tmp, g_fileName, int(int64_t(g_firstFileNum) + LargestFrameNumber()));
  return len;
}

bool ApplyNamePattern(const char* value) {
  size_t len = strlen(value);
  if (len == 0) return false;
  const char* v = value;
  // p_start: the last "/", or the start of the value; p_ext: the last "." at
  // or after p_start.
  const char* slash = strrchr(v, '/');
  const char* pStart = slash ? slash : v;
  const char* pExt = nullptr;
  for (const char* p = pStart; *p; p++)
    if (*p == '.') pExt = p;

  const char* pEnd = pExt ? pExt - 1 : v + len - 1;
  while (pEnd > pStart && !isdigit(static_cast<unsigned char>(*pEnd))) pEnd--;

  std::string pattern;
  int firstNum = 0;
  if (pEnd <= pStart) {
    // No number in the name: the conversion goes before the extension.
    if (pExt) {
      AppendLiteral(&pattern, v, pExt);
      pattern += "%06d";
      AppendLiteral(&pattern, pExt, v + len);
    } else {
      AppendLiteral(&pattern, v, v + len);
      pattern += "%06d.tst";
    }
  } else {
    const char* nStart = pEnd;
    while (nStart > v && isdigit(static_cast<unsigned char>(nStart[-1]))) nStart--;
    int64_t num = 0;
    for (const char* p = nStart; p <= pEnd; p++) {
      num = num * 10 + (*p - '0');
      if (num > INT_MAX) return false;
    }
    firstNum = int(num);
    AppendLiteral(&pattern, v, nStart);
    char conv[32];
    snprintf(conv, sizeof conv, "%%0%dd", int(pEnd - nStart + 1));
    pattern += conv;
    AppendLiteral(&pattern, pEnd + 1, v + len);
  }
  if (pattern.size() >= sizeof g_fileName) return false;
  memcpy(g_fileName, pattern.c_str(), pattern.size() + 1);
  g_firstFileNum = firstNum;
  return true;
}

void UpdateParametersForWriteTest() {
  int64_t fileSize = RoundUp(g_fileSize);
  if (fileSize > INT_MAX)
    Fatal(0, "Frame size of %lld bytes is too large, the largest is %d bytes", (long long)fileSize,
          int(RoundDown(INT_MAX)));
  g_fileSize = int(fileSize);
  g_dataSize = g_fileSize;
  g_ioSize = IoSizeFor(g_dataSize, g_iosPerFrame);
  g_ioOffset = 0;
  CheckMaxDmaSize(g_ioSize);
  g_framePreBufferCount = 0;
}

void UpdateParametersForReadTest(char* fileName, char* namePart) {
  if (g_framePreBufferCount >= g_frameQueueSize) g_framePreBufferCount = g_frameQueueSize - 1;

  if (!g_streamMode) {
    // Measure the first file of the ordered sequence, without using up a
    // random number.
    BOOL wasRandom = g_isRandom;
    g_isRandom = FALSE;
    GenFileName(fileName, namePart, 0);
    g_isRandom = wasRandom;

    int64_t size = FileSize(fileName);
    if (size < 0) Fatal(errno, "Cannot get size of file \"%s\"", fileName);
    if (size >= (int64_t(1) << 31) && g_fileSize == 0)
      Fatal(0, "File size of \"%s\" is greater than 2GB", fileName);
    if (g_fileSize == 0 || g_fileSize > size) g_fileSize = int(size);
  }
  g_fileSize = int(RoundDown(g_fileSize));

  if (g_cropMode != 0) {
    int64_t perc = g_cropMode;
    g_ioOffset = int(RoundDown((100 - perc) * g_fileSize / 200));
    g_dataSize = int(RoundDown(perc * g_fileSize / 100));
  } else {
    g_ioOffset = 0;
    g_dataSize = g_fileSize;
  }
  g_ioSize = IoSizeFor(g_dataSize, g_iosPerFrame);
  CheckMaxDmaSize(g_ioSize);
}
