#include "libvek/formats/psd_colour.h"

#include <algorithm>
#include <cmath>

#include "libvek/core/pixels.h"

namespace vek::psd {
namespace {

double labInverse(double t) {
    return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0);
}

uint8_t srgbEncode(double linear) {
    if (linear <= 0.0) return 0;
    if (linear >= 1.0) return 255;
    const double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::floor(v * 255.0 + 0.5));
}

// CIE L*a*b* (D50, as Photoshop stores it) to sRGB, through XYZ adapted to D65.
void labToRgb(double l, double a, double b, uint8_t* rgb) {
    const double fy = (l + 16.0) / 116.0;
    const double x = 0.9642 * labInverse(fy + a / 500.0);
    const double y = labInverse(fy);
    const double z = 0.8249 * labInverse(fy - b / 200.0);
    rgb[0] = srgbEncode(3.1338561 * x - 1.6168667 * y - 0.4906146 * z);
    rgb[1] = srgbEncode(-0.9787684 * x + 1.9161415 * y + 0.0334540 * z);
    rgb[2] = srgbEncode(0.0719453 * x - 0.2289914 * y + 1.4052427 * z);
}

uint8_t to8(double unit) { return static_cast<uint8_t>(std::floor(std::clamp(unit, 0.0, 1.0) * 255.0 + 0.5)); }

} // namespace

ChannelDisplay displayOf(const uint8_t* p) {
    ChannelDisplay d;
    const uint16_t space = loadU16be(p);
    const double c[4] = {loadU16be(p + 2) / 65535.0, loadU16be(p + 4) / 65535.0, loadU16be(p + 6) / 65535.0,
                         loadU16be(p + 8) / 65535.0};
    switch (space) {
    case 0: // RGB
        for (int i = 0; i < 3; ++i) d.rgb[i] = to8(c[i]);
        break;
    case 1: { // HSB: hue over the full range of 16 bits
        const double hue = c[0] * 6.0, sat = c[1], value = c[2];
        const int sector = static_cast<int>(hue) % 6;
        const double f = hue - std::floor(hue), lo = value * (1 - sat), down = value * (1 - sat * f),
                     up = value * (1 - sat * (1 - f));
        const double rgb[6][3] = {{value, up, lo},   {down, value, lo}, {lo, value, up},
                                  {lo, down, value}, {up, lo, value},   {value, lo, down}};
        for (int i = 0; i < 3; ++i) d.rgb[i] = to8(rgb[sector][i]);
        break;
    }
    case 2: // CMYK, each component 0 for full ink, as Photoshop stores them
        for (int i = 0; i < 3; ++i) d.rgb[i] = to8(c[i] * c[3]);
        break;
    case 7: { // Lab: L 0 to 10000, a and b signed hundredths
        const auto ab = [&](int i) { return static_cast<int16_t>(loadU16be(p + 2 + 2 * i)) / 100.0; };
        labToRgb(loadU16be(p + 2) / 100.0, ab(1), ab(2), d.rgb);
        break;
    }
    case 8: // grey: 0 to 10000 of black
        d.rgb[0] = d.rgb[1] = d.rgb[2] = to8(1.0 - std::min(1.0, loadU16be(p + 2) / 10000.0));
        break;
    default: // a colour book or another space: its ink shows black
        break;
    }
    d.solidity = static_cast<uint8_t>(std::min<uint16_t>(loadU16be(p + 10), 100));
    d.spot = p[12] == 2;
    return d;
}

void labSamplesToRgb(uint8_t l8, uint8_t a8, uint8_t b8, uint8_t* rgb) {
    labToRgb(l8 * 100.0 / 255.0, a8 - 128.0, b8 - 128.0, rgb);
}

InkLayers::InkLayers(const std::vector<ChannelDisplay>& display, unsigned inks) : tables_(inks) {
    for (unsigned i = 0; i < inks; ++i) {
        const ChannelDisplay& d = display[i];
        for (int v = 0; v < 256; ++v) {
            const double amount = (255 - v) / 255.0, cover = amount * d.solidity / 100.0;
            for (int c = 0; c < 3; ++c) {
                const double ink = d.rgb[c] / 255.0;
                tables_[i].scale[c][v] = (1.0 - amount * (1.0 - ink)) * (1.0 - cover);
                tables_[i].add[c][v] = cover * ink;
            }
        }
    }
}

void InkLayers::composite(const uint8_t* const* rows, uint32_t x, uint16_t depth, uint8_t* out) const {
    double rgb[3] = {1.0, 1.0, 1.0};
    for (size_t i = 0; i < tables_.size(); ++i) {
        const uint8_t v = sample8(rows[i], x, depth);
        for (int c = 0; c < 3; ++c) rgb[c] = rgb[c] * tables_[i].scale[c][v] + tables_[i].add[c][v];
    }
    storeBgra(out, to8(rgb[0]), to8(rgb[1]), to8(rgb[2]), 255);
}

} // namespace vek::psd
