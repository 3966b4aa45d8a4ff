// tolvane-pack: the vendor's tool for storage archives and product packages.
#include "tools/tolvane_pack/commands.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "tools/tolvane_pack/text_codec.h"

// Windows hands over the command line in UTF-16: the commands take it as UTF-8, as on
// the host, so that any file name reaches them whole.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::wstring wide(argv[i]);
    args.push_back(tolvane::pack::Utf16ToUtf8(std::u16string(wide.begin(), wide.end())));
  }
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return tolvane::pack::Main(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return tolvane::pack::Main(argc, argv); }
#endif
