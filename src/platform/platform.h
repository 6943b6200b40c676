// The only operating-system surface of ordavi.
//
// Everything that differs between systems lives behind these procedures: the
// clock, the uncached open of frame files, file sizes, asynchronous I/O
// set-up and waiting, the counting semaphore that is the frame queue, the
// break handler, process set-up and the pacing threads. The engines issue the
// transfers themselves (pread, pwrite; AioRead, AioWrite, AioReturn).
//
// Procedures return BOOL, -1 or null and print nothing; the callers decide
// between Error and Fatal. The exceptions are the perror texts "sem_open" and
// "nanosleep", which end the process.
#pragma once

#include <aio.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../types.h"

// ---- clock: signed 64-bit ticks of a monotonic clock, 1000000 per second
BOOL QueryPerfFreq(int64_t* perfFreq);
BOOL QueryPerfCount(int64_t* perfCount);
// Reads the clock into an atomic counter (g_startTime, g_endTime).
void QueryPerfCountInto(std::atomic<int64_t>* target);

// ---- frame buffers
// A data buffer for direct transfers: page-aligned, zero-filled and faulted
// in, so that no page fault lands on a frame's timed path. Null when memory
// is short; free it with FreeFrameBuffer.
void* AllocFrameBuffer(size_t size);
void FreeFrameBuffer(void* buffer);

// ---- files
HANDLE _dioopen(const char* filename, int oflag);  // uncached unless -B
int64_t FileSize(const char* filename);            // -1 on failure
void CheckMaxDmaSize(int ioSize);                  // no limit on this platform

// ---- asynchronous I/O
// One control block per slot of the engine's ring. The engine fills the
// transfer (fd, offset, buf, nbytes) and queues it with AioRead/AioWrite;
// the completion side stamps doneAt at the moment the transfer completes,
// whenever the engine gets round to collecting it.
enum { kAioIdle = 0, kAioInFlight = 1, kAioDone = 2 };
struct AIO {
  HANDLE fd = -1;        // the transfer's descriptor
  int64_t offset = 0;    // the transfer's file offset
  void* buf = nullptr;   // page-aligned, from AioSetup
  size_t nbytes = 0;     // bytes to move
  HANDLE streamFd = -1;  // the stream descriptor this slot uses (set by AioInit)
  int index = 0;         // slot number (set by AioInit)
  ssize_t result = 0;    // bytes moved, or -errno (valid once done)
  int64_t doneAt = 0;    // clock ticks at completion (valid once done)
  std::atomic<int> state{kAioIdle};
  struct aiocb cb {};  // the POSIX AIO fallback's control block
};
typedef AIO* AIO_WAIT;

// The page-aligned buffer of one slot: `size` bytes filled with the
// asynchronous engine's letter (a zero-byte frame still gets one page).
// False (errno ENOMEM) when memory is short.
BOOL AioSetup(AIO* aio, AIO_WAIT* aiow, int offset, int size);
// Sets up the ring of `count` slots before the clock starts: io_uring where
// the kernel allows it, else POSIX AIO with one descriptor per slot (each
// slot's streamFd is then its own duplicate of `stream`). Starts the thread
// that stamps completions. False with errno set on failure.
BOOL AioInit(AIO* ring, int count, HANDLE stream);
// "io_uring, registered buffers", "io_uring" or "POSIX AIO": the path in use.
const char* AioPathName();
// Helper threads the POSIX AIO path could start for `count` slots (io_uring
// needs none and reports `count`).
int AioHelperThreads();
// Queue one transfer. False with errno set when it could not be queued.
BOOL AioRead(AIO* aio);
BOOL AioWrite(AIO* aio);
// Blocks until an entry of the list is done: its index, lowest first, or -1
// with errno set to that entry's own error. -1 with EINVAL when no entry is
// in flight or done (nothing to wait for).
int WaitForAio(AIO_WAIT* aiow, int count);
// Takes a finished transfer's result: bytes moved, or -1 with errno set. The
// slot is idle afterwards; `doneAt` receives the completion time.
ssize_t AioReturn(AIO* aio, int64_t* doneAt);
// Frees the slot's buffer (never under a running transfer).
void AioCleanup(AIO* aio);
// Waits for anything still in flight, stops the completion thread and
// closes the ring and the per-slot descriptors.
void AioShutdown();
// Test-only switch: makes AioInit take the POSIX AIO path.
extern bool g_aioForcePosix;

// ---- counting semaphore with a maximum: the frame queue
struct SEMA {
  sem_t* sem = nullptr;
  int sem_max = 0;
  std::atomic<int> sem_count{0};
  std::atomic<int> releaseWaiters{0};     // releasers asleep on a full queue
  std::atomic<bool> producerDone{false};  // the releasing side has ended
};
typedef SEMA* PSEMA;
extern PSEMA g_frameSema;

// Null after perror("sem_open") when the semaphore cannot be created.
PSEMA CreateSema(int initCount, int maxCount);
BOOL ReleaseSema(PSEMA psem, int* pPrevCount);
BOOL WaitForSema(PSEMA psem, BOOL wait);
// The releasing side (the capture thread) has ended: a blocking wait may
// give up once the run is stopping, since no further frame can come.
void SemaProducerDone(PSEMA psem);
BOOL CloseSema(PSEMA psem);
// Blocks until the queue has room and releases one frame into it, or gives
// up (FALSE) once the run is stopping. *pPrevCount as for ReleaseSema.
BOOL ReleaseSemaWhenRoom(PSEMA psem, int* pPrevCount);

// ---- process set-up
extern pthread_attr_t g_pthreadAttr;
// User breaks received so far (raised by the break handler).
extern std::atomic<int> g_userBreaks;
// The break handler: raises the stop flags, counts the break and writes
// "User break, stopping"; safe in a signal handler. ordavi-mpi installs it
// for the stop signals it forwards.
void CtrlHandler(int sig);
void PlatformInit();
void ClearScreen();

// ---- pacing threads (the simulated camera and display)
void* SupplyFrameThread(void* param);   // capture: param ignored
void* ConsumeFrameThread(void* param);  // playback: param is the locked playback mutex

// ---- process set-up, continued: standard descriptors and stop signals
// Makes sure descriptors 0, 1 and 2 are open, with /dev/null in place of a
// closed one, so that no file the program opens later can take their place.
// FALSE when that cannot be done.
BOOL OpenStandardDescriptors();
// Called once the measured run has ended: a break from then on no longer
// interrupts a call, so the summary and the log are written whole.
void RestartInterruptedCalls();
// Blocks the stop signals in the calling thread, so that they land on a
// thread whose calls they are meant to interrupt.
void BlockStopSignals();
