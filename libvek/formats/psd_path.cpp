// Path resources as Adobe's file format document lays them out ("Path resource format": 26-byte
// records of subpath lengths and Bezier knots, points as 8.24 fixed-point fractions of the canvas,
// vertical first). The operation of each subpath stands in the length record's second word, as
// Photoshop writes it since its shapes gained operations; -1 continues the previous component.
#include "libvek/formats/psd_path.h"

#include <algorithm>
#include <cmath>

namespace vek::psd {
namespace {

struct Point {
    double x, y;
};

// The most knots and segments a path may make: real shapes have hundreds.
constexpr size_t kMaxEdges = 1 << 20;

Point pointAt(const uint8_t* p, uint32_t width, uint32_t height) {
    const double y = static_cast<int32_t>(loadU32be(p)) / 16777216.0;
    const double x = static_cast<int32_t>(loadU32be(p + 4)) / 16777216.0;
    return {x * width, y * height};
}

struct Knot {
    Point before, anchor, after;
};

void addEdge(PathMask::Component& c, Point a, Point b) {
    if (a.y == b.y || c.edges.size() >= kMaxEdges) return;
    c.edges.push_back(
        {static_cast<float>(a.x), static_cast<float>(a.y), static_cast<float>(b.x), static_cast<float>(b.y)});
}

// A cubic from one knot to the next, in straight pieces short enough to look round.
void addCurve(PathMask::Component& c, const Knot& from, const Knot& to) {
    const Point p0 = from.anchor, p1 = from.after, p2 = to.before, p3 = to.anchor;
    const bool straight = p1.x == p0.x && p1.y == p0.y && p2.x == p3.x && p2.y == p3.y;
    const double length = std::hypot(p1.x - p0.x, p1.y - p0.y) + std::hypot(p2.x - p1.x, p2.y - p1.y) +
                          std::hypot(p3.x - p2.x, p3.y - p2.y);
    const int steps = straight ? 1 : static_cast<int>(std::clamp(std::ceil(length / 2), 1.0, 256.0));
    Point last = p0;
    for (int i = 1; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps, u = 1 - t;
        const double a = u * u * u, b = 3 * u * u * t, cc = 3 * u * t * t, d = t * t * t;
        const Point p{a * p0.x + b * p1.x + cc * p2.x + d * p3.x, a * p0.y + b * p1.y + cc * p2.y + d * p3.y};
        addEdge(c, last, p);
        last = p;
    }
}

void closeSubpath(PathMask::Component& c, const std::vector<Knot>& knots, bool closed) {
    if (knots.size() < 2) return;
    for (size_t i = 0; i + 1 < knots.size(); ++i) addCurve(c, knots[i], knots[i + 1]);
    // An open subpath is filled as if closed by a straight line; a closed one by its last curve.
    if (closed)
        addCurve(c, knots.back(), knots.front());
    else
        addEdge(c, knots.back().anchor, knots.front().anchor);
}

// Signed area coverage of one line across rows of `a` (stride `stride`), as in the font
// rasterisers that accumulate each cell's share of a crossing edge and sum along the row.
void accumulateLine(float* a, size_t stride, uint32_t rows, float width, float x0, float y0, float x1, float y1) {
    if (y0 == y1) return;
    float dir = 1;
    if (y0 > y1) {
        std::swap(x0, x1), std::swap(y0, y1);
        dir = -1;
    }
    const float dxdy = (x1 - x0) / (y1 - y0);
    float x = x0;
    if (y0 < 0) {
        x -= y0 * dxdy;
        y0 = 0;
    }
    y1 = std::min(y1, static_cast<float>(rows));
    if (y0 >= y1) return;
    for (int y = static_cast<int>(y0); y < static_cast<int>(std::ceil(y1)); ++y) {
        float* line = a + static_cast<size_t>(y) * stride;
        const float dy = std::min(static_cast<float>(y + 1), y1) - std::max(static_cast<float>(y), y0);
        const float xnext = x + dxdy * dy;
        const float d = dy * dir;
        float lo = std::clamp(std::min(x, xnext), 0.0f, width), hi = std::clamp(std::max(x, xnext), 0.0f, width);
        const float loFloor = std::floor(lo), hiCeil = std::ceil(hi);
        const int loI = static_cast<int>(loFloor), hiI = static_cast<int>(hiCeil);
        if (hiI <= loI + 1) {
            const float mid = 0.5f * (lo + hi) - loFloor;
            line[loI] += d - d * mid;
            line[loI + 1] += d * mid;
        } else {
            const float s = 1 / (hi - lo);
            const float loF = lo - loFloor;
            const float a0 = 0.5f * s * (1 - loF) * (1 - loF);
            const float hiF = hi - hiCeil + 1;
            const float am = 0.5f * s * hiF * hiF;
            line[loI] += d * a0;
            if (hiI == loI + 2) {
                line[loI + 1] += d * (1 - a0 - am);
            } else {
                const float a1 = s * (1.5f - loF);
                line[loI + 1] += d * (a1 - a0);
                for (int xi = loI + 2; xi < hiI - 1; ++xi) line[xi] += d * s;
                const float a2 = a1 + static_cast<float>(hiI - loI - 3) * s;
                line[hiI - 1] += d * (1 - a2 - am);
            }
            line[hiI] += d * am;
        }
        x = xnext;
    }
}

// The pixels a component's edges reach; its top and bottom are kept for drawing.
Rect measure(PathMask::Component& c) {
    float x0 = c.edges[0].x0, x1 = x0, y0 = c.edges[0].y0, y1 = y0;
    for (const auto& e : c.edges) {
        x0 = std::min({x0, e.x0, e.x1}), x1 = std::max({x1, e.x0, e.x1});
        y0 = std::min({y0, e.y0, e.y1}), y1 = std::max({y1, e.y0, e.y1});
    }
    c.top = y0, c.bottom = y1;
    return {static_cast<int32_t>(std::max(-1e9f, std::floor(y0))),
            static_cast<int32_t>(std::max(-1e9f, std::floor(x0))), static_cast<int32_t>(std::min(1e9f, std::ceil(y1))),
            static_cast<int32_t>(std::min(1e9f, std::ceil(x1)))};
}

} // namespace

std::unique_ptr<PathMask> PathMask::make(ByteView records, bool inverted, uint32_t width, uint32_t height) {
    auto mask = std::make_unique<PathMask>();
    mask->width_ = width;
    mask->inverted_ = inverted;
    std::vector<Knot> knots;
    bool closed = false;
    size_t expected = 0;
    Component* current = nullptr;
    for (size_t at = 0; at + 26 <= records.size; at += 26) {
        const uint8_t* r = records.data + at;
        const uint16_t type = loadU16be(r);
        switch (type) {
        case 0:
        case 3: { // a subpath's length record, with its operation
            if (current) closeSubpath(*current, knots, closed);
            knots.clear();
            closed = type == 0;
            expected = loadU16be(r + 2);
            const int16_t operation = static_cast<int16_t>(loadU16be(r + 4));
            if (operation != -1 || current == nullptr) {
                mask->components_.emplace_back();
                current = &mask->components_.back();
                current->operation = operation < 0 || operation > 3 ? 1 : operation;
            }
            break;
        }
        case 1:
        case 2:
        case 4:
        case 5:
            if (current && knots.size() < expected)
                knots.push_back(
                    {pointAt(r + 2, width, height), pointAt(r + 10, width, height), pointAt(r + 18, width, height)});
            break;
        case 8: mask->startFilled_ = loadU16be(r + 2) != 0; break;
        default: break;
        }
    }
    if (current) closeSubpath(*current, knots, closed);
    std::erase_if(mask->components_, [](const Component& c) { return c.edges.empty(); });
    if (mask->components_.empty() && !mask->startFilled_ && !inverted) return nullptr;

    // Bounds: where combined or excluded components reach; everywhere when the mask starts
    // filled, its first operation cuts from a full canvas, or it is inverted.
    const Rect canvas{0, 0, static_cast<int32_t>(height), static_cast<int32_t>(width)};
    const bool full =
        mask->startFilled_ || inverted || (!mask->components_.empty() && mask->components_.front().operation >= 2);
    Rect reach;
    for (auto& c : mask->components_) {
        const Rect r = measure(c);
        if (c.operation <= 1) reach = reach.unite(r);
    }
    mask->bounds_ = full ? canvas : reach.intersect(canvas);
    return mask;
}

void PathMask::rows(int32_t top, uint32_t rows, float* out, std::vector<float>& scratch) const {
    const size_t width = width_, stride = width + 2, cells = stride * rows;
    std::fill(out, out + width * rows, startFilled_ ? 1.0f : 0.0f);
    bool first = true;
    for (const Component& c : components_) {
        const bool touches = c.bottom > top && c.top < static_cast<float>(top + static_cast<int32_t>(rows));
        if (!touches && c.operation <= 1 && !first) continue;
        scratch.assign(cells, 0.0f);
        if (touches)
            for (const Edge& e : c.edges)
                accumulateLine(scratch.data(), stride, rows, static_cast<float>(width), e.x0, e.y0 - top, e.x1,
                               e.y1 - top);
        const bool fromFull = first && (c.operation == 2 || c.operation == 3) && !startFilled_;
        for (uint32_t y = 0; y < rows; ++y) {
            const float* a = scratch.data() + y * stride;
            float* m = out + y * width;
            float sum = 0;
            for (size_t x = 0; x < width; ++x) {
                sum += a[x];
                const float p = std::min(1.0f, std::fabs(sum));
                float v = fromFull ? 1.0f : m[x];
                switch (c.operation) {
                case 0: v = v + p - 2 * v * p; break;
                case 2: v = std::max(0.0f, v - p); break;
                case 3: v = v * p; break;
                default: v = v + p - v * p; break;
                }
                m[x] = v;
            }
        }
        first = false;
    }
    if (inverted_)
        for (size_t i = 0; i < width * rows; ++i) out[i] = 1 - out[i];
}

} // namespace vek::psd
