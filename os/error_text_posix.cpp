#include "os/error_text.h"

#include <cstring>

namespace Os {

std::string errorText(int error) {
    return std::strerror(error);
}

} // namespace Os
