// The texts the engine sends with WM_SETUP_ERROR (shown to the user unchanged), and the
// one place that turns a failure into its text.
#pragma once

#include <string>

#include "common/failure.h"

// The process-wide text in which failures that name a path are composed. A text returned
// by FailureText points into it and stays valid until the next composition.
extern std::wstring ErrorTextBuffer;

namespace tolvane {

inline constexpr wchar_t kBadPackageText[] = L"不正确的安装文件。";
inline constexpr wchar_t kFolderErrorText[] = L"建立文件夹出错。";
inline constexpr wchar_t kProgramGroupErrorText[] = L"建立程序组出错。";
inline constexpr wchar_t kRegistryErrorText[] = L"生成注册表项目出错。";
inline constexpr wchar_t kNoUpgradeKeyText[] = L"无法直接升级，请重新安装软件。";
// A worker that ran out of memory: the package is not at fault.
inline constexpr wchar_t kOutOfMemoryText[] = L"内存不足，无法完成安装。";
// Composed around a path: prefix + path + suffix.
inline constexpr wchar_t kCreateFilePrefix[] = L"建立文件 ";
inline constexpr wchar_t kWriteFilePrefix[] = L"写入文件 ";
inline constexpr wchar_t kFileErrorSuffix[] = L" 出错。";

// The user's text for `failure` (not None): a constant, or composed in ErrorTextBuffer.
const wchar_t* FailureText(const Failure& failure);

}  // namespace tolvane
