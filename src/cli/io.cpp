#include "cli/io.h"

#include <iostream>

namespace sovra::cli {

void PrintError(std::string_view message) {
    std::cerr << "sovra-flash: " << message << '\n';
}

}  // namespace sovra::cli
