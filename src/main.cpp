// Process entry: hands the command line to the driver.
#include "driver/run.h"

int main(int argc, char** argv) { return mkx::driver::MainFromBytes(argc, argv); }
