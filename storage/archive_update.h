// The writing side of an archive object as the reading core knows it: through virtual
// calls only, so that a program that only reads links none of the writing code.
#pragma once

namespace tolvane {

class ArchiveUpdate {
 public:
  virtual ~ArchiveUpdate() = default;
  // Close (keep) or Discard (not keep): writes back what changed, then makes an update of
  // a file final, or rolls it back when something failed or nothing is to be kept.
  virtual bool Finish(bool keep) = 0;
};

}  // namespace tolvane
