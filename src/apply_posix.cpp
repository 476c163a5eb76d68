#include "apply.h"
