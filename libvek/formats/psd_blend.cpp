// Blend modes. The compositing of a source over a backdrop, and the separable and non-separable
// mode functions, follow PDF's blend modes (ISO 32000-1, section 11.3.5, "Blend Mode"), which
// took them from Photoshop; where Photoshop's own pictures show otherwise (soft light's lighter
// half, the burns and dodges at their limits, fill opacity in the eight special modes), its
// pictures hold.
#include "libvek/formats/psd_blend.h"

#include <algorithm>
#include <cmath>

namespace vek::psd {
namespace {

inline float clamp01(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

inline float burn(float b, float s) {
    if (b >= 1) return 1;
    if (s <= 0) return 0;
    return 1 - std::min(1.0f, (1 - b) / s);
}
inline float dodge(float b, float s) {
    if (b <= 0) return 0;
    if (s >= 1) return 1;
    return std::min(1.0f, b / (1 - s));
}
inline float hardLight(float b, float s) { return s <= 0.5f ? 2 * b * s : 1 - 2 * (1 - b) * (1 - s); }

// The weights of backdrop, source and mode result in each pixel's new colour, and its new alpha
// (PDF: Cr = (1 - as) ab Cb + (1 - ab) as Cs + as ab B(Cb, Cs), over ar = as + ab - as ab).
void weights(const Paint& p, float* w1, float* w2, float* w3) {
    for (size_t i = 0; i < p.count; ++i) {
        const float as = clamp01(p.cover[i]), ab = p.dstAlpha[i];
        if (as <= 0) {
            w1[i] = 1, w2[i] = 0, w3[i] = 0;
        } else if (p.keepAlpha) {
            const bool there = ab > 0;
            w1[i] = there ? 1 - as : 1, w2[i] = 0, w3[i] = there ? as : 0;
        } else {
            const float inv = 1 / (as + ab - as * ab);
            w1[i] = (1 - as) * ab * inv, w2[i] = (1 - ab) * as * inv, w3[i] = as * ab * inv;
        }
    }
}

void newAlpha(const Paint& p) {
    if (p.keepAlpha) return;
    for (size_t i = 0; i < p.count; ++i) {
        const float as = clamp01(p.cover[i]), ab = p.dstAlpha[i];
        p.dstAlpha[i] = as + ab - as * ab;
    }
}

template <typename F> void separable(const Paint& p, F mode) {
    float *w1 = p.scratch, *w2 = p.scratch + p.count, *w3 = p.scratch + 2 * p.count;
    weights(p, w1, w2, w3);
    for (unsigned c = 0; c < p.channels; ++c) {
        if (p.excluded & (1u << c)) continue;
        float* d = p.dst[c];
        const float* s = p.src[c];
        for (size_t i = 0; i < p.count; ++i) d[i] = w1[i] * d[i] + w2[i] * s[i] + w3[i] * mode(d[i], s[i]);
    }
    newAlpha(p);
}

// Non-separable modes (PDF's Lum, SetLum, ClipColor, Sat, SetSat) on one RGB triple.
struct Rgb {
    float v[3];
};
inline float lum(const Rgb& c) { return luminosity(c.v[0], c.v[1], c.v[2]); }
Rgb clipColour(Rgb c) {
    const float l = lum(c);
    const float n = std::min({c.v[0], c.v[1], c.v[2]}), x = std::max({c.v[0], c.v[1], c.v[2]});
    for (float& v : c.v) {
        if (n < 0 && l - n > 1e-9f) v = l + (v - l) * l / (l - n);
        if (x > 1 && x - l > 1e-9f) v = l + (v - l) * (1 - l) / (x - l);
        v = clamp01(v);
    }
    return c;
}
Rgb setLum(Rgb c, float l) {
    const float d = l - lum(c);
    for (float& v : c.v) v += d;
    return clipColour(c);
}
inline float sat(const Rgb& c) { return std::max({c.v[0], c.v[1], c.v[2]}) - std::min({c.v[0], c.v[1], c.v[2]}); }
Rgb setSat(Rgb c, float s) {
    int order[3] = {0, 1, 2}; // smallest, middle, largest
    std::sort(order, order + 3, [&](int a, int b) { return c.v[a] < c.v[b]; });
    float &mn = c.v[order[0]], &md = c.v[order[1]], &mx = c.v[order[2]];
    if (mx > mn) {
        md = (md - mn) * s / (mx - mn);
        mx = s;
    } else {
        md = mx = 0;
    }
    mn = 0;
    return c;
}

Rgb nonSeparable(Blend mode, const Rgb& b, const Rgb& s) {
    switch (mode) {
    case Blend::Hue: return setLum(setSat(s, sat(b)), lum(b));
    case Blend::Saturation: return setLum(setSat(b, sat(s)), lum(b));
    case Blend::Colour: return setLum(s, lum(b));
    case Blend::Luminosity: return setLum(b, lum(s));
    case Blend::DarkerColour: return lum(s) < lum(b) ? s : b;
    default: return lum(s) > lum(b) ? s : b; // lighter colour
    }
}

void nonSeparableRows(Blend mode, const Paint& p) {
    float *w1 = p.scratch, *w2 = p.scratch + p.count, *w3 = p.scratch + 2 * p.count;
    weights(p, w1, w2, w3);
    const bool cmyk = p.channels == 4;
    for (size_t i = 0; i < p.count; ++i) {
        if (w2[i] == 0 && w3[i] == 0) continue;
        float out[4];
        if (p.channels == 1) {
            const float b = p.dst[0][i], s = p.src[0][i];
            switch (mode) {
            case Blend::Luminosity: out[0] = s; break;
            case Blend::DarkerColour: out[0] = std::min(b, s); break;
            case Blend::LighterColour: out[0] = std::max(b, s); break;
            default: out[0] = b; break; // grey has neither hue nor saturation
            }
        } else {
            // CMYK as the RGB its inks make (stored values are 1 - ink), and back with the black
            // of the side whose lightness the mode keeps.
            const float kb = cmyk ? p.dst[3][i] : 1, ks = cmyk ? p.src[3][i] : 1;
            Rgb b{{p.dst[0][i] * kb, p.dst[1][i] * kb, p.dst[2][i] * kb}};
            Rgb s{{p.src[0][i] * ks, p.src[1][i] * ks, p.src[2][i] * ks}};
            Rgb r = nonSeparable(mode, b, s);
            float k = 1;
            if (cmyk) {
                const bool fromSource =
                    mode == Blend::Luminosity || ((mode == Blend::DarkerColour || mode == Blend::LighterColour) &&
                                                  r.v[0] == s.v[0] && r.v[1] == s.v[1] && r.v[2] == s.v[2]);
                k = fromSource ? ks : kb;
                out[3] = k;
            }
            for (int c = 0; c < 3; ++c) out[c] = k > 0 ? clamp01(r.v[c] / k) : 0;
        }
        for (unsigned c = 0; c < p.channels; ++c) {
            if (p.excluded & (1u << c)) continue;
            p.dst[c][i] = w1[i] * p.dst[c][i] + w2[i] * p.src[c][i] + w3[i] * out[c];
        }
    }
    newAlpha(p);
}

} // namespace

bool fillActsOnColour(Blend mode) {
    switch (mode) {
    case Blend::ColourBurn:
    case Blend::LinearBurn:
    case Blend::ColourDodge:
    case Blend::LinearDodge:
    case Blend::VividLight:
    case Blend::LinearLight:
    case Blend::HardMix:
    case Blend::Difference: return true;
    default: return false;
    }
}

void fillTowardsNeutral(Blend mode, float fill, float* const* src, unsigned channels, size_t count) {
    float neutral;
    switch (mode) {
    case Blend::ColourBurn:
    case Blend::LinearBurn: neutral = 1; break;
    case Blend::ColourDodge:
    case Blend::LinearDodge:
    case Blend::Difference: neutral = 0; break;
    case Blend::VividLight:
    case Blend::LinearLight: neutral = 0.5f; break;
    default: return;
    }
    for (unsigned c = 0; c < channels; ++c)
        for (size_t i = 0; i < count; ++i) src[c][i] = neutral + (src[c][i] - neutral) * fill;
}

void dissolve(float* cover, size_t count, int32_t x, int32_t y) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t h =
            static_cast<uint32_t>(x + static_cast<int32_t>(i)) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u;
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        const float threshold = static_cast<float>(h >> 8) * (1.0f / 16777216.0f);
        cover[i] = cover[i] > threshold ? 1.0f : 0.0f;
    }
}

void blend(Blend mode, const Paint& p) {
    const bool open = p.unbounded;
    switch (mode) {
    case Blend::Multiply: return separable(p, [](float b, float s) { return b * s; });
    case Blend::Screen: return separable(p, [](float b, float s) { return b + s - b * s; });
    case Blend::Overlay: return separable(p, [](float b, float s) { return hardLight(s, b); });
    case Blend::Darken: return separable(p, [](float b, float s) { return std::min(b, s); });
    case Blend::Lighten: return separable(p, [](float b, float s) { return std::max(b, s); });
    case Blend::ColourDodge: return separable(p, dodge);
    case Blend::ColourBurn: return separable(p, burn);
    case Blend::LinearDodge:
        return open ? separable(p, [](float b, float s) { return b + s; })
                    : separable(p, [](float b, float s) { return std::min(1.0f, b + s); });
    case Blend::LinearBurn: return separable(p, [](float b, float s) { return std::max(0.0f, b + s - 1); });
    case Blend::HardLight: return separable(p, hardLight);
    case Blend::SoftLight:
        // Photoshop's lighter half takes the square root throughout, where PDF's bends below 0.25.
        return separable(p, [](float b, float s) {
            return s <= 0.5f ? b - (1 - 2 * s) * b * (1 - b) : b + (2 * s - 1) * (std::sqrt(std::max(b, 0.0f)) - b);
        });
    case Blend::VividLight:
        // Photoshop's own: the burn and dodge halves divide by the source whatever the backdrop,
        // so that black and white sources give black and white (where plain burn and dodge
        // keep a white or black backdrop).
        return separable(p, [](float b, float s) {
            if (s <= 0.5f) return s <= 0 ? 0.0f : 1 - std::min(1.0f, (1 - b) / (2 * s));
            return s >= 1 ? 1.0f : std::min(1.0f, b / (2 * (1 - s)));
        });
    case Blend::LinearLight: return separable(p, [](float b, float s) { return clamp01(b + 2 * s - 1); });
    case Blend::PinLight:
        return separable(p, [](float b, float s) { return s <= 0.5f ? std::min(b, 2 * s) : std::max(b, 2 * s - 1); });
    case Blend::HardMix: {
        // Below full fill the threshold softens into a ramp of slope 1 / (1 - fill).
        const float f = p.fill;
        if (f >= 0.999f) return separable(p, [](float b, float s) { return b + s >= 1 ? 1.0f : 0.0f; });
        return separable(p, [f](float b, float s) { return clamp01((b - f * (1 - s)) / (1 - f)); });
    }
    case Blend::Difference: return separable(p, [](float b, float s) { return std::fabs(b - s); });
    case Blend::Exclusion: return separable(p, [](float b, float s) { return b + s - 2 * b * s; });
    case Blend::Subtract: return separable(p, [](float b, float s) { return std::max(0.0f, b - s); });
    case Blend::Divide:
        return separable(p, [open](float b, float s) {
            if (s <= 0) return b > 0 ? 1.0f : 0.0f;
            return open ? b / s : std::min(1.0f, b / s);
        });
    case Blend::Hue:
    case Blend::Saturation:
    case Blend::Colour:
    case Blend::Luminosity:
    case Blend::DarkerColour:
    case Blend::LighterColour: return nonSeparableRows(mode, p);
    default: return separable(p, [](float, float s) { return s; });
    }
}

} // namespace vek::psd
