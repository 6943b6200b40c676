// The program's version: the one place it is written (banner, summary, log,
// package).
#pragma once

#define ORDAVI_VERSION "4.23"
