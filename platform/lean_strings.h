// Forced into every file of the executable's own libraries (CMakeLists.txt).
// The C++ library declares its wide strings' members as instantiated in the
// library, where they are compiled for speed, every variant of them: some
// 20 KiB of the image. With this, the compiler makes only the members the
// program uses, optimised for size with the rest. The value -1 is the
// library's own switch for exactly that (it leaves every other extern
// template alone).
#pragma once

#include <bits/c++config.h>

#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
