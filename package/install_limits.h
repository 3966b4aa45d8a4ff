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
// The figure is the largest image found to load and install under Wine, in win32 and
// WoW64 prefixes alike (a 2.00 GB setup.exe; one of 2.13 GB is refused at start).
#pragma once

#include <cstdint>

// The largest SizeOfImage of a setup.exe that installs.
constexpr uint64_t kMaxSetupImageBytes = 0x77740000;

// Memory an install needs beside the mapped image, whatever the package's size (a 1 GiB
// product peaks at about 20 MB of private memory; this is the bound it is held to).
constexpr uint64_t kInstallWorkingBytes = 64ull << 20;

// The longest default install folder (a 32-bit setup under WoW64) and the path length
// Windows' file calls refuse (MAX_PATH, its terminating zero included): every file of a
// package must have a full path below it there.
constexpr char16_t kLongestDefaultFolder[] = u"C:\\Program Files (x86)\\QUAV_SRV\\";
constexpr uint32_t kMaxPathChars = 260;
