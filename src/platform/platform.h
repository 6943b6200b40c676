// The only operating-system surface of ordavi.
//
// Everything that differs between systems lives behind these procedures: the
// clock, the uncached open of frame files, file sizes, asynchronous I/O
// set-up and waiting, the counting semaphore that is the frame queue, the
// break handler, process set-up and the pacing threads. The engines issue the
// transfers themselves (pread, pwrite, aio_read, aio_write, aio_return).
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
typedef struct aiocb AIO;
typedef AIO* AIO_WAIT;
void AioInit();
void AioSetup(AIO* aio, AIO_WAIT* aiow, int offset, int size);
int WaitForAio(AIO_WAIT* aiow, int count);  // lowest finished index, or -1
void AioCleanup(AIO* aio);

// ---- counting semaphore with a maximum: the frame queue
struct SEMA {
  sem_t* sem;
  int sem_max;
  std::atomic<int> sem_count;
};
typedef SEMA* PSEMA;
extern PSEMA g_frameSema;

PSEMA CreateSema(int initCount, int maxCount);
BOOL ReleaseSema(PSEMA psem, int* pPrevCount);
BOOL WaitForSema(PSEMA psem, BOOL wait);
BOOL CloseSema(PSEMA psem);
// Removes the semaphore's name when the process ends early (Usage, Fatal),
// so that a failed run leaves nothing behind in the semaphore namespace.
void RemoveSemaName();

// ---- process set-up
extern pthread_attr_t g_pthreadAttr;
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
