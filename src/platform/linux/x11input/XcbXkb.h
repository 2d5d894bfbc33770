#pragma once

// The XKB extension's xcb header, usable from C++: it names a structure field `explicit`,
// which is a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
