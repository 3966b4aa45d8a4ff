// The C++ runtime's default terminate handler prints the exception's demangled type to
// stderr, which a GUI program does not have; it brings the whole demangler (about 50 KB)
// into setup.exe. This one says in a box what ended the program (the exception's own
// message: a logic or range error of app/library_errors.cpp names the runtime's check
// that failed), then ends the process as the runtime's own would.
#include <windows.h>

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {
void __verbose_terminate_handler() {
  const char* what = nullptr;
  if (std::current_exception()) {
    try {
      throw;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      // (Not one of the program's: nothing more to say than that it ended.)
    }
  }
  wchar_t text[512] = L"安装向导因程序错误而结束：";
  size_t at = wcslen(text);
  // The runtime's messages are ASCII.
  for (const char* c = what ? what : "std::terminate"; *c && at + 1 < sizeof text / sizeof text[0]; ++c) {
    text[at++] = static_cast<wchar_t>(static_cast<unsigned char>(*c));
  }
  text[at] = L'\0';
  MessageBoxW(nullptr, text, L"安装向导", MB_OK | MB_ICONERROR | MB_TASKMODAL);
  std::abort();
}
}  // namespace __gnu_cxx
