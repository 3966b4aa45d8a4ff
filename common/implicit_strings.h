// Forced into every source of the Windows program's release build (see app/CMakeLists.txt).
// libstdc++ declares std::string and std::wstring as explicitly instantiated in the
// library; a program that uses a few of their members then links the whole instantiation
// (and the unwind tables that keep every member of it alive, which ld's section garbage
// collection cannot drop on PE). -1 is libstdc++'s own setting for "no extern templates for
// basic_string only": each object instantiates the members it uses, and the linker keeps
// one copy of each.
#pragma once
#include <bits/c++config.h>
#if _GLIBCXX_EXTERN_TEMPLATE > 0
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
#endif
