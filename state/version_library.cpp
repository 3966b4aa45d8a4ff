#include "state/version_library.h"

#include "common/system_library.h"

namespace {

struct LoadedVersionFunctions {
  tolvane::SystemLibrary library{L"VERSION.dll"};
  VersionFunctions functions = {
      library.Function<decltype(VersionFunctions::InfoSize)>("GetFileVersionInfoSizeW"),
      library.Function<decltype(VersionFunctions::Info)>("GetFileVersionInfoW"),
      library.Function<decltype(VersionFunctions::QueryValue)>("VerQueryValueW"),
  };
  bool complete = functions.InfoSize && functions.Info && functions.QueryValue;
};

}  // namespace

const VersionFunctions* LoadVersionFunctions() {
  // Read by the UI thread and by workers; the first call, on the UI thread, loads it.
  static const LoadedVersionFunctions loaded;
  return loaded.complete ? &loaded.functions : nullptr;
}
