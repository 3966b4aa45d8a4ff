// The runtime's errors as the program throws them (app/library_errors.cpp, linked here as
// setup.exe links it): a request for more than a vector can hold is memory that ran out,
// and a position past the end passes every handler to reach the terminate handler as
// itself. Prints what happened; ctest looks for the last line.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <vector>

int main() {
  std::set_terminate([] {
    const char* what = "nothing";
    try {
      throw;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    std::printf("reached std::terminate: %s\n", what);
    std::fflush(stdout);
    std::_Exit(0);
  });
  std::vector<int> values;
  try {
    values.reserve(values.max_size() + 1);
    std::printf("reserve past max_size succeeded\n");
    return 1;
  } catch (const std::bad_alloc&) {
    std::printf("reserve past max_size: out of memory\n");
  }
  try {
    return values.at(3);
  } catch (...) {
    std::printf("a range error was caught as an exception\n");
    return 1;
  }
}
