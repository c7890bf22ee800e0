// Profile bytes into every colour model's transform, as a matrix and as a grid; whatever is made is
// applied to a row of every kind.
#include "libvek/colour/colour.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vek::colour::Space;
    vek::colour::Description d;
    d.setProfile(data, size);
    uint8_t row[256 * 4];
    const simd::Level kernels = simd::detect();
    for (Space space : {Space::Rgb, Space::Grey, Space::Cmyk}) {
        d.space = space;
        for (bool grid : {false, true}) {
            const auto t = vek::colour::build(d, space, grid);
            if (t == nullptr) continue;
            for (size_t i = 0; i < sizeof row; ++i) row[i] = static_cast<uint8_t>(i * 7);
            t->bgraRow(row, 256, kernels);
            t->greyRow(row, sizeof row);
            t->cmykRow(row, row, 256, true, kernels);
            if (t->kind() != vek::colour::Transform::Kind::Matrix) break; // the grid is made already
        }
    }
    return 0;
}
