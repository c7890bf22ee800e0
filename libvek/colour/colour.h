// Colour as the picture's author meant it: pictures that describe their colours (an embedded ICC
// profile, or primaries and gamma) are converted to sRGB before their pixels are handed over, as
// browsers do. LittleCMS parses the profiles and builds each transform once; our own code applies
// it, as a matrix between per-channel tables where the profile is one, or as a grid of samples
// interpolated between its corners where it is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "libvek/core/image.h"

namespace vek::colour {

// The colour model of a picture's samples.
enum class Space : uint8_t { Rgb, Grey, Cmyk };

// What a picture says about its colours, as its reader found it.
struct Description {
    enum class Kind : uint8_t { None, Srgb, Profile, Calibrated };
    Kind kind = Kind::None;
    Space space = Space::Rgb;
    std::vector<uint8_t> profile; // an embedded ICC profile
    // Calibrated RGB: the white point and the primaries as CIE x and y, and each channel's gamma
    // (linear = encoded ^ gamma).
    double white[2] = {}, red[2] = {}, green[2] = {}, blue[2] = {};
    double gamma[3] = {};

    void setProfile(const uint8_t* bytes, size_t size) {
        kind = Kind::Profile;
        profile.assign(bytes, bytes + size);
    }
};

// A profile larger than this is not read (real ones, CMYK included, stay well under it).
constexpr size_t kMaxProfileBytes = size_t{8} << 20;

// XYZ (D50, 1.0 the white) to sRGB's linear red, green and blue: the inverse of the primaries'
// matrix of LittleCMS's own sRGB profile (adapted to D50 as it adapts them), rows red, green, blue.
// sRGB profiles made the same way then come out as the identity they are.
struct XyzToSrgb {
    double m[3][3];
};
const XyzToSrgb& xyzToLinearSrgb();

class Transform {
public:
    enum class Kind : uint8_t { Matrix, Grid3, Grid4, Grey };
    // Grid points a side: 33 for RGB (a grid of 36k samples), 17 for CMYK (84k).
    static constexpr unsigned kPoints3 = 33, kPoints4 = 17;
    // Linear light to sRGB's 8-bit values, in this many steps.
    static constexpr unsigned kEncodeSteps = 16384;

    explicit Transform(Kind kind);
    Kind kind() const { return kind_; }

    // BGRA pixels in place; alpha stays.
    void bgraRow(uint8_t* pixels, size_t count, simd::Level kernels) const;
    // Grey values in place.
    void greyRow(uint8_t* values, size_t count) const;
    // C, M, Y, K (0 no ink; `inverted`, as JPEG and PSD store them: 255 no ink) to opaque BGRA.
    // `in` and `out` may be the same row.
    void cmykRow(const uint8_t* in, uint8_t* out, size_t count, bool inverted, simd::Level kernels) const;

    // Matrix: sRGB linear = matrix x (each channel's linear value) + offset.
    float linear[3][256] = {}; // red, green, blue
    float matrix[3][4] = {};   // rows red, green, blue; the fourth column the offset
    // What finishMatrix makes of them: for each input channel and value, its column of the matrix
    // times its linear value (red's with the offset added), so that a pixel is three rows summed.
    float columns[3][256][4] = {};
    void finishMatrix();
    // sRGB's encoding at each step from 0 to 1 (kEncodeSteps of them, shared by every transform).
    const uint8_t* encode;
    // Grids: one word a point, the last input varying fastest, holding red, green and blue in
    // 8.2 fixed point (bits 20, 10 and 0 up), so that vector code fetches a corner with one
    // gather; for each 8-bit input value, the grid point below it (times 512) and the fraction of
    // the way to the next one in 256ths.
    std::unique_ptr<uint32_t[]> grid; // gridPoints words, every one set by setGridPoints
    size_t gridPoints = 0;
    uint32_t position[256] = {};
    // Sizes the grid; then setGridPoints sets `count` points from `first` on from their colours in
    // the profile connection space's XYZ (D50), as LittleCMS gives them.
    void startGrid();
    void setGridPoints(size_t first, const float* xyz, size_t count);
    uint8_t grey[256] = {};

private:
    Kind kind_;
};

// The transform to sRGB for pictures of `space` that `d` describes; null when there is nothing to
// do: untagged, sRGB, or a profile that is damaged, of another colour space, or sRGB's own.
std::shared_ptr<const Transform> toSrgb(const Description& d, Space space);

// The transform convert() applies for a description; null when there is nothing to do (untagged,
// sRGB, CMYK which its reader converts itself).
std::shared_ptr<const Transform> transformFor(const Description& d);

// Converts a decoded picture to sRGB in place (its BGRA pixels, grey values or palette) through the
// transform transformFor gave; null does nothing.
void convert(const Transform* t, Image& image);

// The row work that converts BGRA rows through `t`, for a reader to run in its bands.
RowWork rowWorkFor(const Transform* t);

// Forgets the transforms kept for pictures to come (at the library's last exit).
void releaseTransforms();

// Builds the transform without the cache and, with `gridOnly`, as a grid even where a matrix
// would do: the tests hold each kind against LittleCMS.
std::shared_ptr<const Transform> build(const Description& d, Space space, bool gridOnly);

} // namespace vek::colour
