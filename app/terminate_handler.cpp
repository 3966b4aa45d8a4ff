// The C++ runtime's default terminate handler prints the exception's demangled type to
// stderr, which a GUI program does not have; it brings the whole demangler (about 50 KB)
// into setup.exe. This one ends the process as the runtime's own would, without the text.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
