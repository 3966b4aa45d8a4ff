#include "tools/tolvane_pack/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

std::string Display(const fs::path& path) {
#ifdef _WIN32
  const std::wstring& wide = path.native();
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
#else
  return path.native();
#endif
}

bool ReadWholeFile(const fs::path& path, Bytes& out, std::string& error) {
  out.clear();
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = Display(path) + ": " + (fs::exists(path, ec) ? "not a regular file" : "no such file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = Display(path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0) {
    error = Display(path) + ": cannot read its size";
    return false;
  }
  try {
    out.resize(size_t(size));
  } catch (const std::exception&) {
    error = Display(path) + ": too large to read into memory";
    return false;
  }
  if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
    error = Display(path) + ": read failed";
    out.clear();
    return false;
  }
  return true;
}

fs::path TemporarySibling(const fs::path& path) {
  static std::mt19937 rng(std::random_device{}());
  std::error_code ec;
  for (;;) {
    fs::path candidate = path;
    candidate += ".partial-" + std::to_string(rng() % 1000000);
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
}

bool WriteFileAtomically(const fs::path& path, const Bytes& data, std::string& error) {
  fs::path temp = TemporarySibling(path);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = Display(path) + ": cannot create: " + std::strerror(errno);
      return false;
    }
    if (!data.empty()) out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      fs::remove(temp, ec);
      error = Display(path) + ": write failed";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    error = Display(path) + ": cannot put in place: " + ec.message();
    return false;
  }
  return true;
}

}  // namespace tolvane::pack
