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
    std::vector<Curve> own;  // one a channel, or empty
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
    points.erase(std::unique(points.begin(), points.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 points.end());
    const size_t n = points.size();
    if (n < 2) return Curve::of([](float v) { return v; });
    std::vector<double> second(n, 0.0);
    if (n > 2) { // tridiagonal system for the second derivatives, zero at both ends
        std::vector<double> c(n, 0.0), d(n, 0.0);
        for (size_t i = 1; i + 1 < n; ++i) {
            const double h0 = points[i].first - points[i - 1].first, h1 = points[i + 1].first - points[i].first;
            const double a = h0 / 6, b = (h0 + h1) / 3, cc = h1 / 6;
            const double rhs = (points[i + 1].second - points[i].second) / h1 -
                               (points[i].second - points[i - 1].second) / h0;
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
            if (channels_ == 1) l = colour[0][i];
            else if (channels_ == 3) l = luminosity(colour[0][i], colour[1][i], colour[2][i]);
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
    default: return nullptr;
    }
}

} // namespace vek::psd
