// The version number in a FileVersion text, by the one rule of package/file_version.h.
#pragma once

#include <cstdint>

uint16_t VersionNumberOfText(const wchar_t* text);
