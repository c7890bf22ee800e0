// The generated picture fixtures and the pixels an independent decoder sees in them.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/read_bytes.h"

struct Fixture {
    std::string name;
    int32_t width = 0, height = 0;
    int bits = 0, components = 0, xdpi = 0, ydpi = 0, xoffset = 0, yoffset = 0;
    int loadedBits = 0, loadedComponents = 0, transparentIndex = -1;
    std::string expected; // "-" for a file that must be refused

    bool refused() const { return expected == "-"; }
    std::string path() const { return std::string(VEK_FIXTURE_DIR) + "/" + name; }
};

inline std::vector<Fixture> loadFixtures() {
    std::vector<Fixture> fixtures;
    std::ifstream in(std::string(VEK_FIXTURE_DIR) + "/manifest.tsv");
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Fixture f;
        fields >> f.name >> f.width >> f.height >> f.bits >> f.components >> f.xdpi >> f.ydpi >> f.xoffset >>
            f.yoffset >> f.loadedBits >> f.loadedComponents >> f.transparentIndex >> f.expected;
        fixtures.push_back(f);
    }
    return fixtures;
}

// Expected BGRA pixels, top row first.
inline std::vector<uint8_t> expectedPixels(const Fixture& f) {
    return readBytes(std::string(VEK_FIXTURE_DIR) + "/" + f.expected);
}

inline std::vector<uint8_t> mirrored(const std::vector<uint8_t>& pixels, int32_t width, int32_t height) {
    std::vector<uint8_t> out(pixels.size());
    const size_t row = static_cast<size_t>(width) * 4;
    for (int32_t y = 0; y < height; ++y)
        std::copy(pixels.begin() + static_cast<std::ptrdiff_t>(row * y),
                  pixels.begin() + static_cast<std::ptrdiff_t>(row * (y + 1)),
                  out.begin() + static_cast<std::ptrdiff_t>(row * (height - 1 - y)));
    return out;
}
