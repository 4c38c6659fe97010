#pragma once

#include <string>

namespace kvt_test {

// The data file's scrambling: the nibbles of every byte swapped. Scrambled
// files start with the magic "ini", which this leaves to the caller.
inline std::string Scrambled(const std::string& plain) {
    std::string out;
    for (char c : plain) {
        const auto b = static_cast<unsigned char>(c);
        out += static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    return out;
}

}  // namespace kvt_test
