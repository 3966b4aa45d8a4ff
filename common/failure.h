// What went wrong in one step of setup's work, as the steps of engine/ and state/ hand it
// up: what failed, on which path or registry key, and the system's code. Nothing below
// the place that tells the user turns it into text; that place does it once
// (FailureText in engine/error_texts.h for the worker's message, CreateFolderPath for
// its own box).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tolvane {

struct Failure {
  enum class What : uint8_t {
    None,
    BadPackage,        // the manifest, the payload or one of its entries is refused
    OutOfMemory,       // memory ran out
    FolderNotMade,     // a folder of the package cannot be created
    FileNotCreated,    // a file (or the run's journal) cannot be created, or replaced
    FileNotWritten,    // a file cannot be written whole, or not brought to the disk
    GroupNotMade,      // the program group cannot be created
    RecordNotWritten,  // the product's registry record cannot be written
    NoUpgradeKey,      // the upgrade obtains no payload key
  };

  What what = What::None;
  std::wstring where;  // the path (or registry key) it is about, where there is one
  uint32_t code = 0;   // the system's error code, or the archive's result

  explicit operator bool() const { return what != What::None; }
};

inline Failure Failed(Failure::What what, std::wstring where = {}, uint32_t code = 0) {
  return Failure{what, std::move(where), code};
}

}  // namespace tolvane
