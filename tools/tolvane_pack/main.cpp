// tolvane-pack: the vendor's tool for storage archives and product packages.
#include "tools/tolvane_pack/commands.h"

#ifdef _WIN32
#include <cstdio>
#include <string>
#include <vector>

#include "common/utf8.h"

// Windows hands over the command line in UTF-16: the commands take it as UTF-8, as on
// the host, so that any file name reaches them whole.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    const std::wstring wide(argv[i]);
    std::string problem;
    if (!tolvane::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()), args[static_cast<size_t>(i)], problem)) {
      std::fprintf(stderr, "tolvane-pack: argument %d is %s\n", i, problem.c_str());
      return 2;
    }
  }
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return tolvane::pack::Main(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return tolvane::pack::Main(argc, argv); }
#endif
