#include "driver.h"

int main(int argc, char** argv) { return OrdaviMain(argc, argv); }
