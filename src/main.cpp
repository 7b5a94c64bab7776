// Process entry: hands the command line to the driver. On Windows the entry point
// is the wide one (wmain), so arguments arrive as 16-bit strings, as the tool wants.
#include "driver/run.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return mkx::driver::MainFromWide(argc, reinterpret_cast<const char16_t* const*>(argv));
}
#else
int main(int argc, char** argv) { return mkx::driver::MainFromBytes(argc, argv); }
#endif
