// The run sequence of one test, from the parsed command line to the summary.
#pragma once

// Runs the whole program; returns the exit status: 0 after every test that
// ran, 1 when its summary or its timing log could not be written whole.
// Usage and Fatal end the process with status 1 instead.
int OrdaviMain(int argc, char** argv);

// Fills g_paramsAsStr with the effective parameters in option syntax.
void GenerateParametersString(int isWriteTest);
