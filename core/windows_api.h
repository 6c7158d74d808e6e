// <windows.h> the way every Windows source of this project includes it.
#pragma once

// The standard library's std::min and std::max, not the macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The file layer has a CopyFile of its own, which the macro would rename.
#undef CopyFile
