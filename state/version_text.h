// The version number in a FileVersion text "a, b, c, d": a × 256 + c, modulo 65536.
//
// Read as swscanf(text, L"%d, %d, %d, %d") of the program's C runtime reads it, which is
// what the wizard used before and what installed products were judged by: each number
// may follow blanks (whatever iswspace calls a blank) and carry a sign; a comma must
// follow a number directly; the first number that does not parse ends the reading and
// leaves the rest 0; a number beyond the int range is clamped to it. Portable (no
// Windows calls), so that it is also tested on the host.
#pragma once

#include <cstdint>

uint16_t VersionNumberOfText(const wchar_t* text);
