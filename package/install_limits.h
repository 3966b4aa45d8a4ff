// What a setup program can load and install, shared by the installer and the packaging
// tool, which refuses at pack time what setup could not install.
//
// setup.exe is a 32-bit program whose package is a resource: the loader maps the whole
// image (SizeOfImage) into the process's address space at start-up, before any of our
// code runs, and the install then needs working memory beside it (the deciphering window,
// the inflate buffers, the wizard's own heap and stacks). The image must fit in one piece
// below 2 GiB (4 GiB when the program is large-address aware and runs under WoW64) among
// the system's DLLs, so the limit lies well below those figures.
//
// Provisional: the figure is to be set from a measurement under Wine (win32 and WoW64
// prefixes) of the largest payload a setup.exe still loads and installs.
#pragma once

#include <cstdint>

// The largest SizeOfImage of a setup.exe that installs.
constexpr uint64_t kMaxSetupImageBytes = 1536ull << 20;

// Memory an install needs beside the mapped image, whatever the package's size.
constexpr uint64_t kInstallWorkingBytes = 64ull << 20;

// The longest default install folder (a 32-bit setup under WoW64) and the path length
// Windows' file calls refuse (MAX_PATH, its terminating zero included): every file of a
// package must have a full path below it there.
constexpr char16_t kLongestDefaultFolder[] = u"C:\\Program Files (x86)\\QUAV_SRV\\";
constexpr uint32_t kMaxPathChars = 260;
