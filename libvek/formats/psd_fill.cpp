// Fill layers from their descriptors ("Solid color", "Gradient fill" and "Pattern fill" settings
// in Adobe's file format document).
#include "libvek/formats/psd_fill.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "libvek/formats/psd_blend.h"
#include "libvek/formats/psd_channels.h"

namespace vek::psd {
namespace {

constexpr double kPi = 3.14159265358979323846;

float unit(double v) { return static_cast<float>(v < 0 ? 0 : v > 1 ? 1 : v); }

// HSB (hue in degrees, saturation and brightness 0 to 1) to RGB.
void hsbToRgb(double h, double s, double v, float* rgb) {
    h = std::fmod(h, 360.0);
    if (h < 0) h += 360;
    const double c = v * s, x = c * (1 - std::fabs(std::fmod(h / 60, 2.0) - 1)), m = v - c;
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h / 60)) {
    case 0: r = c, g = x; break;
    case 1: r = x, g = c; break;
    case 2: g = c, b = x; break;
    case 3: g = x, b = c; break;
    case 4: r = x, b = c; break;
    default: r = c, b = x; break;
    }
    rgb[0] = unit(r + m), rgb[1] = unit(g + m), rgb[2] = unit(b + m);
}

// CIE Lab (D50) to sRGB, Bradford-adapted.
void labToRgb(double l, double a, double b, float* rgb) {
    const double fy = (l + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
    auto finv = [](double t) { return t > 6.0 / 29 ? t * t * t : 3 * (6.0 / 29) * (6.0 / 29) * (t - 4.0 / 29); };
    const double x = 0.9642 * finv(fx), y = finv(fy), z = 0.8249 * finv(fz);
    const double lin[3] = {3.1338561 * x - 1.6168667 * y - 0.4906146 * z,
                           -0.9787684 * x + 1.9161415 * y + 0.0334540 * z,
                           0.0719453 * x - 0.2289914 * y + 1.4052427 * z};
    for (int i = 0; i < 3; ++i) {
        const double v =
            lin[i] <= 0.0031308 ? 12.92 * lin[i] : 1.055 * std::pow(std::max(lin[i], 0.0), 1 / 2.4) - 0.055;
        rgb[i] = unit(v);
    }
}

class SolidFiller final : public Filler {
public:
    SolidFiller(const float* colour, unsigned channels) : channels_(channels) {
        std::copy(colour, colour + channels, colour_);
    }
    void row(int32_t, int32_t, size_t count, float* const* out) const override {
        for (unsigned c = 0; c < channels_; ++c) std::fill(out[c], out[c] + count, colour_[c]);
        std::fill(out[channels_], out[channels_] + count, 1.0f);
    }

private:
    float colour_[4] = {};
    unsigned channels_;
};

enum class Shape : uint8_t { Linear, Radial, Angle, Reflected, Diamond };

// A gradient over a box: the position along it of every pixel, through the ramp.
class GradientFiller final : public Filler {
public:
    GradientFiller(GradientRamp ramp, Shape shape, double angle, double scale, double cx, double cy, double w, double h)
        : ramp_(std::move(ramp)), shape_(shape), cx_(cx), cy_(cy) {
        const double a = angle * kPi / 180;
        dx_ = std::cos(a), dy_ = -std::sin(a);
        // The gradient's length: the box as seen along its direction, at the scale asked; radial and
        // the others reach from the centre.
        const double span = std::fabs(w * dx_) + std::fabs(h * dy_);
        switch (shape) {
        case Shape::Linear: length_ = span * scale; break;
        default: length_ = span * scale / 2; break;
        }
        if (!(length_ > 1e-6)) length_ = 1e-6;
        angle_ = angle;
    }
    void row(int32_t y, int32_t x, size_t count, float* const* out) const override {
        const unsigned n = ramp_.channels;
        for (size_t i = 0; i < count; ++i) {
            const double px = x + static_cast<double>(i) + 0.5 - cx_, py = y + 0.5 - cy_;
            const double along = px * dx_ + py * dy_, across = -px * dy_ + py * dx_;
            double t;
            switch (shape_) {
            case Shape::Linear: t = along / length_ + 0.5; break;
            case Shape::Radial: t = std::sqrt(px * px + py * py) / length_; break;
            case Shape::Reflected: t = std::fabs(along) / length_; break;
            case Shape::Diamond: t = (std::fabs(along) + std::fabs(across)) / length_; break;
            default: { // angle: counter-clockwise from the gradient's direction
                double turn = std::atan2(-py, px) * 180 / kPi - angle_;
                turn = std::fmod(turn, 360.0);
                if (turn < 0) turn += 360;
                t = turn / 360;
                break;
            }
            }
            const float* v = ramp_.at(static_cast<float>(t));
            for (unsigned c = 0; c < n; ++c) out[c][i] = v[c];
            out[n][i] = v[n];
        }
    }

private:
    GradientRamp ramp_;
    Shape shape_;
    double cx_, cy_, dx_ = 1, dy_ = 0, length_ = 1, angle_ = 0;
};

// A pattern tiled from the canvas's origin, moved by its phase.
class PatternFiller final : public Filler {
public:
    PatternFiller(std::vector<float> tile, uint32_t w, uint32_t h, unsigned channels, int32_t dx, int32_t dy)
        : tile_(std::move(tile)), w_(w), h_(h), channels_(channels), dx_(dx), dy_(dy) {}
    void row(int32_t y, int32_t x, size_t count, float* const* out) const override {
        const int64_t ty = ((int64_t{y} - dy_) % h_ + h_) % h_;
        for (size_t i = 0; i < count; ++i) {
            const int64_t tx = ((int64_t{x} + static_cast<int64_t>(i) - dx_) % w_ + w_) % w_;
            const float* p = tile_.data() + (static_cast<size_t>(ty) * w_ + static_cast<size_t>(tx)) * (channels_ + 1);
            for (unsigned c = 0; c <= channels_; ++c) out[c][i] = p[c];
        }
    }

private:
    std::vector<float> tile_; // colour channels, then alpha, a pixel at a time
    uint32_t w_, h_;
    unsigned channels_;
    int32_t dx_, dy_;
};

// One channel of a pattern's virtual memory array: depth, rectangle, depth again, compression
// and the data, PackBits rows led by their 2-byte counts.
bool patternChannel(ByteView record, uint32_t w, uint32_t h, std::vector<float>& out) {
    ByteReader r(record);
    uint32_t depth, top, left, bottom, right;
    uint16_t pixelDepth;
    uint8_t compression;
    if (!r.u32be(depth) || !r.u32be(top) || !r.u32be(left) || !r.u32be(bottom) || !r.u32be(right) ||
        !r.u16be(pixelDepth) || !r.u8(compression) || depth != 8 || bottom - top != h || right - left != w)
        return false;
    const ByteView data{record.data + r.position(), r.remaining()};
    out.resize(size_t{w} * h);
    if (compression == 0) {
        if (data.size < out.size()) return false;
        for (size_t i = 0; i < out.size(); ++i) out[i] = data.data[i] / 255.0f;
        return true;
    }
    if (compression != 1 || data.size / 2 < h) return false;
    std::vector<uint8_t> row(w);
    size_t offset = size_t{h} * 2;
    for (uint32_t y = 0; y < h; ++y) {
        const size_t n = loadU16be(data.data + y * 2);
        if (offset > data.size || n > data.size - offset || !unpackBits(data.data + offset, n, row.data(), w))
            return false;
        offset += n;
        for (uint32_t x = 0; x < w; ++x) out[size_t{y} * w + x] = row[x] / 255.0f;
    }
    return true;
}

std::unique_ptr<Filler> patternFiller(const DValue& d, const Canvas& canvas, const std::vector<Pattern>& patterns) {
    const DValue* which = d.get("Ptrn");
    if (which == nullptr) return nullptr;
    const std::string_view id = which->enumOf("Idnt");
    const Pattern* p = nullptr;
    for (const auto& candidate : patterns)
        if (candidate.id == id) p = &candidate;
    // Patterns this large are not tiles anyone paints with; the limit keeps a tile's floats small.
    if (p == nullptr || p->width == 0 || p->height == 0 || uint64_t{p->width} * p->height > (uint64_t{1} << 20))
        return nullptr;
    const unsigned patternChannels = p->mode == kRgb ? 3 : p->mode == kCmyk ? 4 : p->mode == kGrey ? 1 : 0;
    if (patternChannels == 0 || p->channels.size() < patternChannels) return nullptr;
    std::vector<std::vector<float>> planes(patternChannels + 1);
    for (unsigned c = 0; c < patternChannels; ++c)
        if (!patternChannel(p->channels[c], p->width, p->height, planes[c])) return nullptr;
    // The last array, where written, is the pattern's transparency.
    if (!patternChannel(p->channels.back(), p->width, p->height, planes[patternChannels]))
        planes[patternChannels].assign(size_t{p->width} * p->height, 1.0f);
    const unsigned n = canvas.channels;
    const size_t pixels = size_t{p->width} * p->height;
    std::vector<float> tile(pixels * (n + 1));
    for (size_t i = 0; i < pixels; ++i) {
        float rgb[4] = {};
        for (unsigned c = 0; c < patternChannels; ++c) rgb[c] = planes[c][i];
        float* t = tile.data() + i * (n + 1);
        if (patternChannels == n) {
            std::copy(rgb, rgb + n, t);
        } else if (n == 1) {
            t[0] = patternChannels == 3 ? luminosity(rgb[0], rgb[1], rgb[2]) : rgb[0];
        } else if (patternChannels == 1) {
            std::fill(t, t + n, rgb[0]);
            if (n == 4) t[0] = t[1] = t[2] = 1, t[3] = rgb[0];
        } else {
            std::copy(rgb, rgb + std::min(n, patternChannels), t);
        }
        t[n] = planes[patternChannels][i];
    }
    int32_t dx = 0, dy = 0;
    if (const DValue* phase = d.get("phase")) {
        dx = static_cast<int32_t>(std::lround(phase->num("Hrzn")));
        dy = static_cast<int32_t>(std::lround(phase->num("Vrtc")));
    }
    return std::make_unique<PatternFiller>(std::move(tile), p->width, p->height, n, dx, dy);
}

std::unique_ptr<Filler> gradientFiller(const Layer& layer, const DValue& d, const Canvas& canvas) {
    const DValue* gradient = d.get("Grad");
    GradientRamp ramp;
    if (gradient == nullptr || !rampOf(*gradient, canvas, d.flag("Rvrs"), ramp)) return nullptr;
    const std::string_view type = d.enumOf("Type");
    Shape shape = Shape::Linear;
    if (type == "Rdl ")
        shape = Shape::Radial;
    else if (type == "Angl")
        shape = Shape::Angle;
    else if (type == "Rflc")
        shape = Shape::Reflected;
    else if (type == "Dmnd")
        shape = Shape::Diamond;
    // The box the gradient spans: the layer's own bounds where it is aligned with them, else the
    // canvas.
    double x0 = 0, y0 = 0, w = canvas.width, h = canvas.height;
    if (d.flag("Algn", true) && !layer.rect.empty()) {
        x0 = layer.rect.left, y0 = layer.rect.top, w = static_cast<double>(layer.rect.width()),
        h = static_cast<double>(layer.rect.height());
    }
    double cx = x0 + w / 2, cy = y0 + h / 2;
    if (const DValue* offset = d.get("Ofst")) {
        cx += offset->num("Hrzn") / 100 * w;
        cy += offset->num("Vrtc") / 100 * h;
    }
    const double scale = d.num("Scl ", 100) / 100;
    return std::make_unique<GradientFiller>(std::move(ramp), shape, d.num("Angl", 90), scale > 0 ? scale : 1, cx, cy, w,
                                            h);
}

} // namespace

bool colourOf(const DValue& colour, const Canvas& canvas, float* out) {
    float rgb[3] = {0, 0, 0};
    float cmyk[4] = {-1, 0, 0, 0};
    float grey = -1;
    const std::string_view cls = colour.id;
    if (cls == "RGBC") {
        if (colour.get("redFloat") != nullptr) {
            rgb[0] = unit(colour.num("redFloat")), rgb[1] = unit(colour.num("greenFloat")),
            rgb[2] = unit(colour.num("blueFloat"));
        } else {
            rgb[0] = unit(colour.num("Rd  ") / 255), rgb[1] = unit(colour.num("Grn ") / 255),
            rgb[2] = unit(colour.num("Bl  ") / 255);
        }
    } else if (cls == "HSBC") {
        hsbToRgb(colour.num("H   "), colour.num("Strt") / 100, colour.num("Brgh") / 100, rgb);
    } else if (cls == "CMYC") {
        for (int i = 0; i < 4; ++i)
            cmyk[i] = unit(colour.num(i == 0 ? "Cyn " : i == 1 ? "Mgnt" : i == 2 ? "Ylw " : "Blck") / 100);
        for (int i = 0; i < 3; ++i) rgb[i] = (1 - cmyk[i]) * (1 - cmyk[3]);
    } else if (cls == "LbCl") {
        labToRgb(colour.num("Lmnc"), colour.num("A   "), colour.num("B   "), rgb);
    } else if (cls == "Grsc") {
        grey = unit(1 - colour.num("Gry ") / 100);
        rgb[0] = rgb[1] = rgb[2] = grey;
    } else {
        return false;
    }
    switch (canvas.channels) {
    case 1: out[0] = grey >= 0 ? grey : luminosity(rgb[0], rgb[1], rgb[2]); return true;
    case 4:
        if (cmyk[0] < 0) { // naive separation: as much black as the colour's darkness
            const float k = 1 - std::max({rgb[0], rgb[1], rgb[2]});
            for (int i = 0; i < 3; ++i) cmyk[i] = k < 1 ? (1 - rgb[i] - k) / (1 - k) : 0;
            cmyk[3] = k;
        }
        for (int i = 0; i < 4; ++i) out[i] = 1 - cmyk[i];
        return true;
    default: std::copy(rgb, rgb + 3, out); return true;
    }
}

bool rampOf(const DValue& gradient, const Canvas& canvas, bool reverse, GradientRamp& out) {
    const DValue* colours = gradient.get("Clrs");
    if (colours == nullptr || colours->kind != DValue::Kind::List || colours->list.empty()) return false;
    const unsigned n = canvas.channels;
    std::vector<GradientStop> stops, opacities;
    for (const auto& s : colours->list) {
        GradientStop stop{s.num("Lctn") / 4096, s.num("Mdpn", 50) / 100, {}};
        const DValue* c = s.get("Clr ");
        if (c == nullptr || !colourOf(*c, canvas, stop.v)) {
            // Foreground and background stops keep no colour: black and white, as by default.
            const float v = s.enumOf("Type") == "BckC" ? 1.0f : 0.0f;
            std::fill(stop.v, stop.v + 4, v);
            if (n == 4) stop.v[0] = stop.v[1] = stop.v[2] = 1, stop.v[3] = v;
        }
        stops.push_back(stop);
    }
    if (const DValue* transparency = gradient.get("Trns"); transparency && transparency->kind == DValue::Kind::List)
        for (const auto& s : transparency->list)
            opacities.push_back({s.num("Lctn") / 4096, s.num("Mdpn", 50) / 100, {unit(s.num("Opct", 100) / 100)}});
    rampFromStops(std::move(stops), std::move(opacities), std::clamp(gradient.num("Intr", 4096) / 4096, 0.0, 1.0),
                  reverse, n, out);
    return true;
}

void rampFromStops(std::vector<GradientStop> stops, std::vector<GradientStop> opacities, double smooth, bool reverse,
                   unsigned channels, GradientRamp& out) {
    if (opacities.empty()) opacities.push_back({0, 0.5, {1}});
    auto byPlace = [](const GradientStop& a, const GradientStop& b) { return a.at < b.at; };
    std::stable_sort(stops.begin(), stops.end(), byPlace);
    std::stable_sort(opacities.begin(), opacities.end(), byPlace);
    auto sample = [smooth](const std::vector<GradientStop>& list, double t, unsigned count, float* into) {
        if (t <= list.front().at) return std::copy(list.front().v, list.front().v + count, into), void();
        if (t >= list.back().at) return std::copy(list.back().v, list.back().v + count, into), void();
        size_t i = 0;
        while (i + 1 < list.size() && list[i + 1].at < t) ++i;
        const GradientStop &a = list[i], &b = list[i + 1];
        const double span = b.at - a.at;
        double u = span > 0 ? (t - a.at) / span : 1;
        const double m = std::clamp(a.mid, 0.001, 0.999);
        u = u < m ? 0.5 * u / m : 0.5 + 0.5 * (u - m) / (1 - m);
        // Smoothness bends the span towards an S: at 100 % two fifths of the way to smoothstep,
        // as Photoshop's gradients measure.
        const double s = u * u * (3 - 2 * u);
        u = u + (s - u) * smooth * 0.4;
        for (unsigned c = 0; c < count; ++c) into[c] = static_cast<float>(a.v[c] + (b.v[c] - a.v[c]) * u);
    };
    out.channels = channels;
    out.steps = 4096;
    out.values.resize(size_t{out.steps} * (channels + 1));
    for (unsigned i = 0; i < out.steps; ++i) {
        double t = static_cast<double>(i) / (out.steps - 1);
        if (reverse) t = 1 - t;
        float* v = out.values.data() + size_t{i} * (channels + 1);
        sample(stops, t, channels, v);
        sample(opacities, t, 1, v + channels);
    }
}

bool colourOfSpace(uint16_t space, const uint16_t* k, const Canvas& canvas, float* out) {
    DValue d;
    d.kind = DValue::Kind::Object;
    auto add = [&d](const char* key, double v) {
        DValue n;
        n.kind = DValue::Kind::Number;
        n.number = v;
        d.items.push_back({key, n});
    };
    switch (space) {
    case 0: d.id = "RGBC", add("Rd  ", k[0] / 257.0), add("Grn ", k[1] / 257.0), add("Bl  ", k[2] / 257.0); break;
    case 1:
        d.id = "HSBC", add("H   ", k[0] / 65535.0 * 360), add("Strt", k[1] / 655.35), add("Brgh", k[2] / 655.35);
        break;
    case 2:
        // CMYK components count 65535 as no ink.
        d.id = "CMYC", add("Cyn ", 100 - k[0] / 655.35), add("Mgnt", 100 - k[1] / 655.35),
        add("Ylw ", 100 - k[2] / 655.35), add("Blck", 100 - k[3] / 655.35);
        break;
    case 7:
        d.id = "LbCl", add("Lmnc", k[0] / 100.0), add("A   ", static_cast<int16_t>(k[1]) / 100.0),
        add("B   ", static_cast<int16_t>(k[2]) / 100.0);
        break;
    case 8: d.id = "Grsc", add("Gry ", k[0] / 100.0); break;
    default: return false;
    }
    return colourOf(d, canvas, out);
}

std::unique_ptr<Filler> makeFiller(const Layer& layer, const Canvas& canvas, const std::vector<Pattern>& patterns) {
    if (layer.fillSettings == nullptr) return nullptr;
    const DValue& d = *layer.fillSettings;
    switch (layer.content) {
    case Content::SolidFill: {
        const DValue* c = d.get("Clr ");
        float colour[4];
        if (c == nullptr || !colourOf(*c, canvas, colour)) return nullptr;
        return std::make_unique<SolidFiller>(colour, canvas.channels);
    }
    case Content::GradientFill: return gradientFiller(layer, d, canvas);
    case Content::PatternFill: return patternFiller(d, canvas, patterns);
    default: return nullptr;
    }
}

} // namespace vek::psd
