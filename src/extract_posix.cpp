#include "extract.h"
