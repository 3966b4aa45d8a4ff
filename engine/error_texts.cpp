#include "engine/error_texts.h"

std::wstring ErrorTextBuffer;

namespace tolvane {

const wchar_t* FailureText(const Failure& failure) {
  const wchar_t* prefix = kCreateFilePrefix;
  switch (failure.what) {
    case Failure::What::None: return nullptr;
    case Failure::What::BadPackage: return kBadPackageText;
    case Failure::What::OutOfMemory: return kOutOfMemoryText;
    case Failure::What::FolderNotMade: return kFolderErrorText;
    case Failure::What::GroupNotMade: return kProgramGroupErrorText;
    case Failure::What::RecordNotWritten: return kRegistryErrorText;
    case Failure::What::NoUpgradeKey: return kNoUpgradeKeyText;
    case Failure::What::FileNotCreated: break;
    case Failure::What::FileNotWritten: prefix = kWriteFilePrefix; break;
  }
  ErrorTextBuffer = prefix;
  ErrorTextBuffer += failure.where;
  ErrorTextBuffer += kFileErrorSuffix;
  return ErrorTextBuffer.c_str();
}

}  // namespace tolvane
