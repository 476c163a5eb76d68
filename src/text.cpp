#include "text.h"

// The conversions and error texts are entirely platform specific; see text_win.cpp and
// text_posix.cpp.
