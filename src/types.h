// Neutral names shared by every part of ordavi.
//
// The program is plain procedures over global state; these aliases keep the
// engines free of platform spellings so that a port only touches platform/.
#pragma once

#include <pthread.h>

#include <cstdint>

typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef int HANDLE;  // a file descriptor, -1 for none
typedef pthread_t THREAD;
typedef pthread_mutex_t MUTEX;
typedef pthread_cond_t EVENT;

// Every path the program builds (directory + per-frame name) lives in a
// buffer of this size. The driver refuses paths that could not fit.
constexpr int kPathBufSize = 256;
