// Standard base64 (with padding), for the binary series in the HTML page.
#pragma once

#include <cstddef>
#include <string>

namespace report {

std::string Base64(const void* data, size_t size);

}  // namespace report
