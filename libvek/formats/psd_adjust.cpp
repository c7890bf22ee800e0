// Adjustment layers, from their blocks as Adobe's file format document lays them out
// ("Adjustment layer" keys: levl, curv, brit, expA, hue2, blnc, ... and their descriptors).
// Tonal adjustments of CMYK documents work on the samples as stored (1 no ink), as Photoshop's
// own pictures show.
#include "libvek/formats/psd_adjust.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "libvek/formats/psd_blend.h"

namespace vek::psd {
namespace {

constexpr uint32_t key4(const char (&k)[5]) {
    return (uint32_t(uint8_t(k[0])) << 24) | (uint32_t(uint8_t(k[1])) << 16) | (uint32_t(uint8_t(k[2])) << 8) |
           uint32_t(uint8_t(k[3]));
}

inline float clamp01(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

float floatBe(const uint8_t* p) {
    const uint32_t bits = loadU32be(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// A function of one sample over 0 to 1, tabulated: 8- and 16-bit samples look up a fine table
// with linear interpolation.
class Curve {
public:
    static constexpr unsigned kSteps = 4096;
    template <typename F> static Curve of(F f) {
        Curve c;
        for (unsigned i = 0; i <= kSteps; ++i) c.table_[i] = f(static_cast<float>(i) / kSteps);
        return c;
    }
    float operator()(float v) const {
        const float x = clamp01(v) * kSteps;
        const unsigned i = std::min<unsigned>(static_cast<unsigned>(x), kSteps - 1);
        const float t = x - static_cast<float>(i);
        return table_[i] + (table_[i + 1] - table_[i]) * t;
    }
    bool identity() const {
        for (unsigned i = 0; i <= kSteps; ++i)
            if (std::fabs(table_[i] - static_cast<float>(i) / kSteps) > 1e-6f) return false;
        return true;
    }

private:
    std::array<float, kSteps + 1> table_{};
};

// Curves per channel, then a curve for all (the order Photoshop's levels and curves apply them).
class ChannelCurves final : public Adjustment {
public:
    explicit ChannelCurves(unsigned channels) : channels_(channels) {}
    std::vector<Curve> own; // one a channel, or empty
    std::vector<bool> active;
    Curve all = Curve::of([](float v) { return v; });
    bool allActive = false;

    void apply(float* const* colour, size_t count) const override {
        for (unsigned c = 0; c < channels_; ++c) {
            const bool mine = c < active.size() && active[c];
            if (!mine && !allActive) continue;
            float* v = colour[c];
            for (size_t i = 0; i < count; ++i) {
                float x = v[i];
                if (mine) x = own[c](x);
                if (allActive) x = all(x);
                v[i] = x;
            }
        }
    }

private:
    unsigned channels_;
};

// Levels: 29 records of input black and white, output black and white and gamma (x 100); the
// first for all channels, then one a channel.
std::unique_ptr<Adjustment> levels(ByteView block, const Canvas& canvas) {
    ByteReader r(block);
    uint16_t version;
    if (!r.u16be(version) || version != 2 || !r.has(29 * 10)) return nullptr;
    auto record = [&](unsigned i) {
        const uint8_t* p = block.data + 2 + i * 10;
        const float inLo = loadU16be(p), inHi = loadU16be(p + 2), outLo = loadU16be(p + 4), outHi = loadU16be(p + 6);
        const float gamma = std::clamp(loadU16be(p + 8) / 100.0f, 0.01f, 9.99f);
        return Curve::of([=](float v) {
            float t = inHi > inLo ? (v * 255 - inLo) / (inHi - inLo) : (v * 255 >= inHi ? 1.0f : 0.0f);
            t = std::pow(clamp01(t), 1 / gamma);
            return clamp01((outLo + t * (outHi - outLo)) / 255);
        });
    };
    auto result = std::make_unique<ChannelCurves>(canvas.channels);
    result->all = record(0);
    result->allActive = !result->all.identity();
    for (unsigned c = 0; c < canvas.channels; ++c) {
        result->own.push_back(record(c + 1));
        result->active.push_back(!result->own.back().identity());
    }
    return result;
}

// A natural cubic spline through a curve's points (input, output over 0 to 255), flat beyond its
// ends, as Photoshop's curves draw it.
Curve splineCurve(std::vector<std::pair<double, double>> points) {
    std::sort(points.begin(), points.end());
    points.erase(
        std::unique(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        points.end());
    const size_t n = points.size();
    if (n < 2) return Curve::of([](float v) { return v; });
    std::vector<double> second(n, 0.0);
    if (n > 2) { // tridiagonal system for the second derivatives, zero at both ends
        std::vector<double> c(n, 0.0), d(n, 0.0);
        for (size_t i = 1; i + 1 < n; ++i) {
            const double h0 = points[i].first - points[i - 1].first, h1 = points[i + 1].first - points[i].first;
            const double a = h0 / 6, b = (h0 + h1) / 3, cc = h1 / 6;
            const double rhs =
                (points[i + 1].second - points[i].second) / h1 - (points[i].second - points[i - 1].second) / h0;
            const double m = b - a * c[i - 1];
            c[i] = cc / m;
            d[i] = (rhs - a * d[i - 1]) / m;
        }
        for (size_t i = n - 2; i >= 1; --i) second[i] = d[i] - c[i] * second[i + 1];
    }
    return Curve::of([points, second](float v) {
        const double x = v * 255.0;
        if (x <= points.front().first) return clamp01(static_cast<float>(points.front().second / 255));
        if (x >= points.back().first) return clamp01(static_cast<float>(points.back().second / 255));
        size_t i = 0;
        while (points[i + 1].first < x) ++i;
        const double h = points[i + 1].first - points[i].first;
        const double a = (points[i + 1].first - x) / h, b = 1 - a;
        const double y = a * points[i].second + b * points[i + 1].second +
                         ((a * a * a - a) * second[i] + (b * b * b - b) * second[i + 1]) * h * h / 6;
        return clamp01(static_cast<float>(y / 255));
    });
}

// Curves: a version, the channels present as bits (bit 0 all channels, then each channel), each
// curve's points as (output, input); version 4 files count their curves instead, and both keep a
// copy after a "Crv " mark with each curve's channel named.
std::unique_ptr<Adjustment> curves(ByteView block, const Canvas& canvas) {
    ByteReader r(block);
    uint8_t filler;
    uint16_t version;
    uint32_t mask;
    if (!r.u8(filler) || !r.u16be(version) || !r.u32be(mask) || (version != 1 && version != 4)) return nullptr;
    auto result = std::make_unique<ChannelCurves>(canvas.channels);
    result->own.assign(canvas.channels, Curve::of([](float v) { return v; }));
    result->active.assign(canvas.channels, false);
    auto readCurve = [&r](std::vector<std::pair<double, double>>& points) {
        uint16_t count;
        if (!r.u16be(count) || count > 64 || !r.has(size_t{count} * 4)) return false;
        for (uint16_t i = 0; i < count; ++i) {
            uint16_t out = 0, in = 0;
            (void)r.u16be(out);
            (void)r.u16be(in);
            points.emplace_back(in, out);
        }
        return true;
    };
    auto use = [&](unsigned channel, const std::vector<std::pair<double, double>>& points) {
        Curve c = splineCurve(points);
        if (channel == 0) {
            result->all = c;
            result->allActive = !c.identity();
        } else if (channel <= canvas.channels) {
            result->own[channel - 1] = c;
            result->active[channel - 1] = !c.identity();
        }
    };
    const unsigned curvesHere = version == 1 ? static_cast<unsigned>(__builtin_popcount(mask)) : mask;
    unsigned bit = 0;
    for (unsigned i = 0; i < curvesHere && i < 32; ++i) {
        std::vector<std::pair<double, double>> points;
        if (!readCurve(points)) return nullptr;
        if (version == 1) {
            while (bit < 32 && !(mask & (1u << bit))) ++bit;
            use(bit++, points);
        } else {
            use(i, points);
        }
    }
    return result;
}

// Exposure: exposure in stops, an offset and a gamma, worked in linear light: a 2.2 curve in
// RGB and CMYK documents, and a grey document's own profile where it has one (each within a level
// of Photoshop's pictures, where sRGB's curve misses RGB by six and 2.2 misses grey by eighteen).
class Exposure final : public Adjustment {
public:
    Exposure(const Canvas& canvas, float exposure, float offset, float gamma) : channels_(canvas.channels) {
        const float scale = std::pow(2.0f, exposure);
        const float g = gamma > 0.01f ? gamma : 1;
        const std::vector<float>& light = canvas.greyLight;
        auto toLight = [&light](float v) {
            if (light.empty()) return std::pow(v, 2.2f);
            const float x = v * 255;
            const unsigned i = std::min(254u, static_cast<unsigned>(x));
            return light[i] + (light[i + 1] - light[i]) * (x - static_cast<float>(i));
        };
        auto fromLight = [&light](float l) {
            if (light.empty()) return std::pow(l, 1 / 2.2f);
            if (l <= light.front()) return 0.0f;
            if (l >= light.back()) return 1.0f;
            const size_t i = static_cast<size_t>(std::upper_bound(light.begin(), light.end(), l) - light.begin()) - 1;
            const float span = light[i + 1] - light[i];
            return (static_cast<float>(i) + (span > 0 ? (l - light[i]) / span : 0)) / 255;
        };
        curve_ = Curve::of([&](float v) {
            const float linear = std::max(toLight(v) * scale + offset, 0.0f);
            return clamp01(fromLight(std::pow(linear, 1 / g)));
        });
    }
    void apply(float* const* colour, size_t count) const override {
        for (unsigned c = 0; c < channels_; ++c)
            for (size_t i = 0; i < count; ++i) colour[c][i] = curve_(colour[c][i]);
    }

private:
    unsigned channels_;
    Curve curve_ = Curve::of([](float v) { return v; });
};

class Invert final : public Adjustment {
public:
    explicit Invert(unsigned channels) : channels_(channels) {}
    void apply(float* const* colour, size_t count) const override {
        for (unsigned c = 0; c < channels_; ++c)
            for (size_t i = 0; i < count; ++i) colour[c][i] = 1 - colour[c][i];
    }

private:
    unsigned channels_;
};

std::unique_ptr<Adjustment> posterize(ByteView block, const Canvas& canvas) {
    if (block.size < 2) return nullptr;
    const unsigned levels = std::clamp<unsigned>(loadU16be(block.data), 2, 255);
    auto result = std::make_unique<ChannelCurves>(canvas.channels);
    result->all = Curve::of([levels](float v) {
        const float step = std::min(std::floor(v * 255 * levels / 256 + 1e-4f), static_cast<float>(levels - 1));
        return step / static_cast<float>(levels - 1);
    });
    result->allActive = true;
    return result;
}

// Threshold: white where the lightness reaches the level, black elsewhere.
class Threshold final : public Adjustment {
public:
    Threshold(unsigned channels, float level) : channels_(channels), level_(level) {}
    void apply(float* const* colour, size_t count) const override {
        for (size_t i = 0; i < count; ++i) {
            float l;
            if (channels_ == 1)
                l = colour[0][i];
            else if (channels_ == 3)
                l = luminosity(colour[0][i], colour[1][i], colour[2][i]);
            else { // CMYK: the lightness of the colour its inks make
                const float k = colour[3][i];
                l = luminosity(colour[0][i] * k, colour[1][i] * k, colour[2][i] * k);
            }
            const float v = l * 255 >= level_ - 0.5f ? 1.0f : 0.0f;
            for (unsigned c = 0; c < channels_; ++c) colour[c][i] = channels_ == 4 ? (c == 3 ? v : 1) : v;
        }
    }

private:
    unsigned channels_;
    float level_;
};

std::unique_ptr<Adjustment> exposure(ByteView block, const Canvas& canvas) {
    if (block.size < 14) return nullptr;
    return std::make_unique<Exposure>(canvas, floatBe(block.data + 2), floatBe(block.data + 6),
                                      floatBe(block.data + 10));
}

// Adjustments defined on RGB colour: grey documents take the result's lightness; CMYK documents go
// through the colour their inks make, with their black kept.
class RgbAdjustment : public Adjustment {
public:
    explicit RgbAdjustment(unsigned channels) : channels_(channels) {}
    void apply(float* const* colour, size_t count) const override {
        for (size_t i = 0; i < count; ++i) {
            float rgb[3];
            if (channels_ == 1) {
                rgb[0] = rgb[1] = rgb[2] = colour[0][i];
            } else if (channels_ == 3) {
                rgb[0] = colour[0][i], rgb[1] = colour[1][i], rgb[2] = colour[2][i];
            } else {
                const float k = colour[3][i];
                for (int c = 0; c < 3; ++c) rgb[c] = colour[c][i] * k;
            }
            pixel(rgb);
            if (channels_ == 1) {
                colour[0][i] = clamp01(luminosity(rgb[0], rgb[1], rgb[2]));
            } else if (channels_ == 3) {
                for (int c = 0; c < 3; ++c) colour[c][i] = clamp01(rgb[c]);
            } else {
                const float k = colour[3][i];
                for (int c = 0; c < 3; ++c) colour[c][i] = k > 0 ? clamp01(rgb[c] / k) : colour[c][i];
            }
        }
    }

protected:
    virtual void pixel(float* rgb) const = 0;
    unsigned channels_;
};

// Hue in degrees, saturation and lightness (HSL) of an RGB colour, and back.
struct Hsl {
    float h, s, l;
};
Hsl toHsl(const float* c) {
    const float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
    Hsl r{0, 0, (mx + mn) / 2};
    const float d = mx - mn;
    if (d <= 1e-7f) return r;
    r.s = r.l <= 0.5f ? d / (mx + mn) : d / (2 - mx - mn);
    if (mx == c[0])
        r.h = (c[1] - c[2]) / d + (c[1] < c[2] ? 6 : 0);
    else if (mx == c[1])
        r.h = (c[2] - c[0]) / d + 2;
    else
        r.h = (c[0] - c[1]) / d + 4;
    r.h *= 60;
    return r;
}
void fromHsl(const Hsl& x, float* c) {
    if (x.s <= 0) {
        c[0] = c[1] = c[2] = x.l;
        return;
    }
    const float q = x.l < 0.5f ? x.l * (1 + x.s) : x.l + x.s - x.l * x.s, p = 2 * x.l - q;
    auto channel = [&](float t) {
        t = t - std::floor(t);
        if (t < 1.0f / 6) return p + (q - p) * 6 * t;
        if (t < 0.5f) return q;
        if (t < 2.0f / 3) return p + (q - p) * (2.0f / 3 - t) * 6;
        return p;
    };
    const float h = x.h / 360;
    c[0] = channel(h + 1.0f / 3), c[1] = channel(h), c[2] = channel(h - 1.0f / 3);
}

// Lightness towards white (positive) or black (negative), by a fraction of the way.
inline float lighten(float v, float amount) { return amount >= 0 ? v + (1 - v) * amount : v * (1 + amount); }

// Hue/Saturation: a master hue, saturation and lightness, and the same for six hue ranges, each
// with its edges (full within the inner two, fading to the outer two); or colourise.
class HueSaturation final : public RgbAdjustment {
public:
    HueSaturation(unsigned channels, ByteView b) : RgbAdjustment(channels) {
        colourise_ = b.data[2] != 0;
        for (int i = 0; i < 3; ++i) {
            colourisation_[i] = static_cast<int16_t>(loadU16be(b.data + 4 + i * 2));
            master_[i] = static_cast<int16_t>(loadU16be(b.data + 10 + i * 2));
        }
        for (int r = 0; r < 6; ++r)
            for (int i = 0; i < 7; ++i) ranges_[r][i] = static_cast<int16_t>(loadU16be(b.data + 16 + r * 14 + i * 2));
    }

protected:
    void pixel(float* rgb) const override {
        Hsl x = toHsl(rgb);
        if (colourise_) {
            x.h = static_cast<float>(colourisation_[0]);
            x.s = colourisation_[1] / 100.0f;
            fromHsl(x, rgb);
            const float light = colourisation_[2] / 100.0f;
            for (int c = 0; c < 3; ++c) rgb[c] = lighten(rgb[c], light);
            return;
        }
        float hue = master_[0], saturation = master_[1], rangeLight = 0;
        // A range's lightness reaches a colour as far as it has chroma: greys keep theirs.
        const float chroma = std::max({rgb[0], rgb[1], rgb[2]}) - std::min({rgb[0], rgb[1], rgb[2]});
        if (x.s > 0)
            for (const auto& r : ranges_) {
                const float w = weight(x.h, r);
                hue += w * r[4], saturation += w * r[5];
                rangeLight += w * r[6] * chroma;
            }
        x.h += hue;
        const float s = std::clamp(saturation, -100.0f, 100.0f) / 100;
        x.s = clamp01(x.s * (1 + s));
        fromHsl(x, rgb);
        // The ranges' lightness first, then the master's.
        const float lr = std::clamp(rangeLight, -100.0f, 100.0f) / 100, lm = master_[2] / 100.0f;
        for (int c = 0; c < 3; ++c) rgb[c] = lighten(lighten(rgb[c], lr), lm);
    }

private:
    // How far a hue lies within a range's edges (degrees, possibly wrapping past 360).
    static float weight(float h, const int16_t* r) {
        auto from = [](float a, float b) { return std::fmod(b - a + 720.0f, 360.0f); };
        const float a = r[0], b = r[1], c = r[2], d = r[3];
        const float total = from(a, d), at = from(a, h);
        if (at > total) return 0;
        if (at < from(a, b)) return from(a, b) > 0 ? at / from(a, b) : 1;
        if (at <= from(a, c)) return 1;
        return from(c, d) > 0 ? (total - at) / from(c, d) : 0;
    }
    bool colourise_ = false;
    int16_t colourisation_[3] = {}, master_[3] = {};
    int16_t ranges_[6][7] = {};
};

// Colour balance: cyan-red, magenta-green and yellow-blue shifts for shadows, midtones and
// highlights, weighted by each pixel's lightness; optionally keeping its lightness.
class ColourBalance final : public RgbAdjustment {
public:
    ColourBalance(unsigned channels, ByteView b) : RgbAdjustment(channels) {
        for (int t = 0; t < 3; ++t)
            for (int c = 0; c < 3; ++c) shift_[t][c] = static_cast<int16_t>(loadU16be(b.data + t * 6 + c * 2)) / 100.0f;
        keepLightness_ = b.size > 18 && b.data[18] != 0;
    }

protected:
    void pixel(float* rgb) const override {
        const Hsl before = toHsl(rgb);
        const float l = before.l, a = 0.25f, b = 0.333f, scale = 0.7f;
        const float shadows = std::clamp((l - b) / -a + 0.5f, 0.0f, 1.0f) * scale;
        const float midtones =
            std::clamp((l - b) / a + 0.5f, 0.0f, 1.0f) * std::clamp((l + b - 1) / -a + 0.5f, 0.0f, 1.0f) * scale;
        const float highlights = std::clamp((l + b - 1) / a + 0.5f, 0.0f, 1.0f) * scale;
        for (int c = 0; c < 3; ++c)
            rgb[c] = clamp01(rgb[c] + shadows * shift_[0][c] + midtones * shift_[1][c] + highlights * shift_[2][c]);
        if (keepLightness_) {
            Hsl after = toHsl(rgb);
            after.l = l;
            fromHsl(after, rgb);
        }
    }

private:
    float shift_[3][3] = {};
    bool keepLightness_ = false;
};

// Black & white: grey from weights of the six primaries and secondaries a colour is made of
// (its lowest channel, plus the secondary between it and the middle one, plus the primary above
// that); optionally tinted.
class BlackAndWhite final : public RgbAdjustment {
public:
    BlackAndWhite(unsigned channels, const DValue& d) : RgbAdjustment(channels) {
        red_ = static_cast<float>(d.num("Rd  ", 40)) / 100, yellow_ = static_cast<float>(d.num("Yllw", 60)) / 100;
        green_ = static_cast<float>(d.num("Grn ", 40)) / 100, cyan_ = static_cast<float>(d.num("Cyn ", 60)) / 100;
        blue_ = static_cast<float>(d.num("Bl  ", 20)) / 100, magenta_ = static_cast<float>(d.num("Mgnt", 80)) / 100;
        if (d.flag("useTint"))
            if (const DValue* t = d.get("tintColor")) {
                Canvas rgb;
                tinted_ = colourOf(*t, rgb, tint_);
            }
    }

protected:
    void pixel(float* c) const override {
        const float r = c[0], g = c[1], b = c[2];
        float grey;
        if (r >= g && g >= b)
            grey = b + (g - b) * yellow_ + (r - g) * red_;
        else if (r >= b && b >= g)
            grey = g + (b - g) * magenta_ + (r - b) * red_;
        else if (g >= r && r >= b)
            grey = b + (r - b) * yellow_ + (g - r) * green_;
        else if (g >= b && b >= r)
            grey = r + (b - r) * cyan_ + (g - b) * green_;
        else if (b >= g && g >= r)
            grey = r + (g - r) * cyan_ + (b - g) * blue_;
        else
            grey = g + (r - g) * magenta_ + (b - r) * blue_;
        grey = clamp01(grey);
        if (!tinted_) {
            c[0] = c[1] = c[2] = grey;
            return;
        }
        // The tint's hue and saturation at the grey's lightness.
        const float d = grey - luminosity(tint_[0], tint_[1], tint_[2]);
        for (int i = 0; i < 3; ++i) c[i] = clamp01(tint_[i] + d);
    }

private:
    float red_, yellow_, green_, cyan_, blue_, magenta_;
    bool tinted_ = false;
    float tint_[3] = {};
};

// Photo filter: the colour multiplied by the filter's as far as its density, optionally at the
// colour's own lightness.
class PhotoFilter final : public RgbAdjustment {
public:
    PhotoFilter(unsigned channels, const float* filter, float density, bool keepLightness)
        : RgbAdjustment(channels), density_(density), keepLightness_(keepLightness) {
        std::copy(filter, filter + 3, filter_);
    }

protected:
    void pixel(float* c) const override {
        const float before = luminosity(c[0], c[1], c[2]);
        for (int i = 0; i < 3; ++i) c[i] = c[i] + (c[i] * filter_[i] - c[i]) * density_;
        if (keepLightness_) {
            const float d = before - luminosity(c[0], c[1], c[2]);
            for (int i = 0; i < 3; ++i) c[i] = clamp01(c[i] + d);
        }
    }

private:
    float filter_[3] = {};
    float density_;
    bool keepLightness_;
};

// Channel mixer: each output channel a weighted sum of the inputs plus a constant (percent).
class ChannelMixer final : public Adjustment {
public:
    ChannelMixer(unsigned channels, ByteView b) : channels_(channels) {
        monochrome_ = loadU16be(b.data + 2) != 0;
        for (unsigned o = 0; o < 4; ++o)
            for (unsigned i = 0; i < 5; ++i)
                if (4 + (o * 5 + i + 1) * 2 <= b.size)
                    weights_[o][i] = static_cast<int16_t>(loadU16be(b.data + 4 + (o * 5 + i) * 2)) / 100.0f;
    }
    void apply(float* const* colour, size_t count) const override {
        const unsigned n = channels_;
        for (size_t p = 0; p < count; ++p) {
            float in[4] = {}, out[4];
            for (unsigned c = 0; c < n; ++c) in[c] = colour[c][p];
            for (unsigned o = 0; o < n; ++o) {
                const float* w = weights_[monochrome_ ? 0 : o];
                float v = w[4];
                for (unsigned c = 0; c < n; ++c) v += w[c] * in[c];
                out[o] = clamp01(v);
            }
            for (unsigned c = 0; c < n; ++c) colour[c][p] = out[c];
        }
    }

private:
    unsigned channels_;
    bool monochrome_ = false;
    float weights_[4][5] = {};
};

// Gradient map: each pixel's lightness picks its colour from a gradient.
class GradientMap final : public Adjustment {
public:
    GradientMap(unsigned channels, GradientRamp ramp) : channels_(channels), ramp_(std::move(ramp)) {}
    void apply(float* const* colour, size_t count) const override {
        for (size_t p = 0; p < count; ++p) {
            float l;
            if (channels_ == 1)
                l = colour[0][p];
            else if (channels_ == 3)
                l = luminosity(colour[0][p], colour[1][p], colour[2][p]);
            else
                l = luminosity(colour[0][p] * colour[3][p], colour[1][p] * colour[3][p], colour[2][p] * colour[3][p]);
            const float* v = ramp_.at(l);
            for (unsigned c = 0; c < channels_; ++c) colour[c][p] = v[c];
        }
    }

private:
    unsigned channels_;
    GradientRamp ramp_;
};

// Vibrance: saturation raised (or lowered) most where a colour is least saturated; then
// saturation as Hue/Saturation's.
class Vibrance final : public RgbAdjustment {
public:
    Vibrance(unsigned channels, float vibrance, float saturation)
        : RgbAdjustment(channels), vibrance_(vibrance), saturation_(saturation) {}

protected:
    void pixel(float* c) const override {
        Hsl x = toHsl(c);
        const float v = vibrance_ * (1 - x.s);
        x.s = clamp01(x.s * (1 + v));
        x.s = clamp01(x.s * (1 + saturation_));
        fromHsl(x, c);
    }

private:
    float vibrance_, saturation_;
};

std::unique_ptr<Adjustment> brightnessContrast(const Layer& layer, const Canvas& canvas) {
    const ByteView b = layer.adjustmentData;
    float brightness = 0, contrast = 0, mean = 127;
    bool legacy = true;
    if (const DValue* d = layer.adjustmentDescriptor.get()) {
        brightness = static_cast<float>(d->num("Brgh")), contrast = static_cast<float>(d->num("Cntr"));
        mean = static_cast<float>(d->num("means", 127));
        legacy = d->flag("useLegacy");
    } else if (b.size >= 6) {
        brightness = static_cast<int16_t>(loadU16be(b.data)), contrast = static_cast<int16_t>(loadU16be(b.data + 2));
        mean = static_cast<int16_t>(loadU16be(b.data + 4));
    } else {
        return nullptr;
    }
    auto result = std::make_unique<ChannelCurves>(canvas.channels);
    if (legacy) {
        // Contrast about the middle (steepening towards a threshold at +100), then brightness in levels.
        const float slope = contrast >= 0 ? 1 / std::max(0.01f, 1 - contrast / 100) : 1 + contrast / 100;
        result->all =
            Curve::of([=](float v) { return clamp01(((v * 255 - 127.5f) * slope + 127.5f + brightness) / 255); });
    } else {
        // Black and white stay: brightness moves the middle like a curve's point, contrast makes an
        // S about the mean (an approximation of Photoshop's own curves).
        const Curve light =
            splineCurve({{0, 0}, {127.5, std::clamp(127.5 + 0.74 * brightness, 1.0, 254.0)}, {255, 255}});
        const double d = 0.4 * contrast, m = std::clamp(static_cast<double>(mean), 32.0, 223.0);
        const Curve s = splineCurve({{0, 0},
                                     {m / 2, std::clamp(m / 2 - d, 0.0, 255.0)},
                                     {m, m},
                                     {(m + 255) / 2, std::clamp((m + 255) / 2 + d, 0.0, 255.0)},
                                     {255, 255}});
        result->all = Curve::of([&](float v) { return light(s(v)); });
    }
    result->allActive = true;
    return result;
}

std::unique_ptr<Adjustment> photoFilter(ByteView b, const Canvas& canvas) {
    ByteReader r(b);
    uint16_t version;
    if (!r.u16be(version)) return nullptr;
    float filter[4];
    Canvas rgb;
    if (version == 3) { // XYZ, as 16.16 fixed point? taken as the filter's D50 colour
        uint32_t x, y, z;
        if (!r.u32be(x) || !r.u32be(y) || !r.u32be(z)) return nullptr;
        const double X = x / 65536.0, Y = y / 65536.0, Z = z / 65536.0;
        const double lin[3] = {3.1338561 * X - 1.6168667 * Y - 0.4906146 * Z,
                               -0.9787684 * X + 1.9161415 * Y + 0.0334540 * Z,
                               0.0719453 * X - 0.2289914 * Y + 1.4052427 * Z};
        for (int i = 0; i < 3; ++i)
            filter[i] = clamp01(static_cast<float>(
                lin[i] <= 0.0031308 ? 12.92 * lin[i] : 1.055 * std::pow(std::max(lin[i], 0.0), 1 / 2.4) - 0.055));
    } else {
        uint16_t space, k[4];
        if (!r.u16be(space) || !r.u16be(k[0]) || !r.u16be(k[1]) || !r.u16be(k[2]) || !r.u16be(k[3]) ||
            !colourOfSpace(space, k, rgb, filter))
            return nullptr;
    }
    uint32_t density;
    uint8_t keep;
    if (!r.u32be(density) || !r.u8(keep)) return nullptr;
    return std::make_unique<PhotoFilter>(canvas.channels, filter, std::min(density, 100u) / 100.0f, keep != 0);
}

// Gradient map: version, reverse, dither, (version 3: the interpolation method), a name, colour
// stops (location, midpoint, colour), opacity stops (location, midpoint, opacity), then the
// settings of noise gradients, which are not drawn.
std::unique_ptr<Adjustment> gradientMap(ByteView b, const Canvas& canvas) {
    ByteReader r(b);
    uint16_t version, count;
    uint8_t reverse, dither;
    uint32_t nameLength;
    if (!r.u16be(version) || !r.u8(reverse) || !r.u8(dither)) return nullptr;
    if (version == 3 && !r.skip(4)) return nullptr;
    if (!r.u32be(nameLength) || nameLength > r.remaining() / 2 || !r.skip(size_t{nameLength} * 2) || !r.u16be(count))
        return nullptr;
    std::vector<GradientStop> colours, opacities;
    for (uint16_t i = 0; i < count; ++i) {
        uint32_t at, mid;
        uint16_t space, k[4];
        if (!r.u32be(at) || !r.u32be(mid) || !r.u16be(space) || !r.u16be(k[0]) || !r.u16be(k[1]) || !r.u16be(k[2]) ||
            !r.u16be(k[3]) || !r.skip(2))
            return nullptr;
        GradientStop s{at / 4096.0, mid / 100.0, {}};
        if (!colourOfSpace(space, k, canvas, s.v)) return nullptr;
        colours.push_back(s);
    }
    if (colours.empty() || !r.u16be(count)) return nullptr;
    for (uint16_t i = 0; i < count; ++i) {
        uint32_t at, mid;
        uint16_t opacity;
        if (!r.u32be(at) || !r.u32be(mid) || !r.u16be(opacity)) return nullptr;
        opacities.push_back({at / 4096.0, mid / 100.0, {opacity / 100.0f}});
    }
    uint16_t expansion = 0, smoothness = 4096;
    if (r.u16be(expansion)) (void)r.u16be(smoothness);
    GradientRamp ramp;
    rampFromStops(std::move(colours), std::move(opacities), std::clamp(smoothness / 4096.0, 0.0, 1.0), reverse != 0,
                  canvas.channels, ramp);
    return std::make_unique<GradientMap>(canvas.channels, std::move(ramp));
}

} // namespace

std::unique_ptr<Adjustment> makeAdjustment(const Layer& layer, const Canvas& canvas) {
    const ByteView block = layer.adjustmentData;
    switch (layer.adjustment) {
    case key4("nvrt"): return std::make_unique<Invert>(canvas.channels);
    case key4("levl"): return levels(block, canvas);
    case key4("curv"): return curves(block, canvas);
    case key4("expA"): return exposure(block, canvas);
    case key4("post"): return posterize(block, canvas);
    case key4("thrs"):
        if (block.size < 2) return nullptr;
        return std::make_unique<Threshold>(canvas.channels, static_cast<float>(loadU16be(block.data)));
    case key4("brit"): return brightnessContrast(layer, canvas);
    case key4("hue2"):
        if (block.size < 16 + 6 * 14) return nullptr;
        return std::make_unique<HueSaturation>(canvas.channels, block);
    case key4("blnc"):
        if (block.size < 18) return nullptr;
        return std::make_unique<ColourBalance>(canvas.channels, block);
    case key4("blwh"):
    case key4("vibA"): {
        DValue d;
        if (!readVersionedDescriptor(block, d)) return nullptr;
        if (layer.adjustment == key4("blwh")) return std::make_unique<BlackAndWhite>(canvas.channels, d);
        return std::make_unique<Vibrance>(canvas.channels, static_cast<float>(d.num("vibrance")) / 100,
                                          static_cast<float>(d.num("Strt")) / 100);
    }
    case key4("phfl"): return photoFilter(block, canvas);
    case key4("mixr"):
        if (block.size < 4 + 10 * canvas.channels) return nullptr;
        return std::make_unique<ChannelMixer>(canvas.channels, block);
    case key4("grdm"): return gradientMap(block, canvas);
    default: return nullptr;
    }
}

} // namespace vek::psd
