#include "extract.h"

bool extract_zip(const std::string&, const std::string&) {
    return false;
}
