// Transforms built with LittleCMS: each from its own context (so that threads never share its
// state), a profile that fails any check ignored, and the last few kept for the pictures to come.
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "libvek/colour/colour.h"
#include "libvek/base/bytes.h"
#include "libvek/system/lock.h"

namespace vek::colour {
namespace {

// LittleCMS reads at most this many tags; a profile that names more is not one.
constexpr uint32_t kMaxTags = 100;

// The header and tag table hold together: a declared size within the bytes, the signature, and
// every tag inside the declared size.
bool plausible(const std::vector<uint8_t>& p) {
    if (p.size() < 132 || p.size() > kMaxProfileBytes) return false;
    const uint32_t size = loadU32be(p.data());
    if (size < 132 || size > p.size() || std::memcmp(p.data() + 36, "acsp", 4) != 0) return false;
    const uint32_t tags = loadU32be(p.data() + 128);
    if (tags == 0 || tags > kMaxTags || 132 + uint64_t{12} * tags > size) return false;
    for (uint32_t i = 0; i < tags; ++i) {
        const uint8_t* t = p.data() + 132 + 12 * i;
        if (uint64_t{loadU32be(t + 4)} + loadU32be(t + 8) > size || loadU32be(t + 8) < 8) return false;
    }
    return true;
}

void silently(cmsContext, cmsUInt32Number, const char*) {}

struct Context {
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    Context() {
        if (context != nullptr) cmsSetLogErrorHandlerTHR(context, silently);
    }
    ~Context() {
        if (context != nullptr) cmsDeleteContext(context);
    }
};
struct Profile {
    cmsHPROFILE handle = nullptr;
    explicit Profile(cmsHPROFILE h) : handle(h) {}
    ~Profile() {
        if (handle != nullptr) cmsCloseProfile(handle);
    }
};
struct Lcms {
    cmsHTRANSFORM handle = nullptr;
    explicit Lcms(cmsHTRANSFORM h) : handle(h) {}
    ~Lcms() {
        if (handle != nullptr) cmsDeleteTransform(handle);
    }
};

double srgbEncode(double linear) {
    return linear <= 0.0031308 ? linear * 12.92 : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

// The picture's profile; calibrated RGB made into one (grey pictures keep only the gamma, for their
// neutral colours have no primaries to speak of).
cmsHPROFILE openSource(cmsContext c, const Description& d, Space space) {
    if (d.kind == Description::Kind::Profile) {
        if (!plausible(d.profile)) return nullptr;
        return cmsOpenProfileFromMemTHR(c, d.profile.data(), static_cast<cmsUInt32Number>(d.profile.size()));
    }
    for (double g : d.gamma)
        if (!(g >= 0.1 && g <= 10)) return nullptr;
    if (space == Space::Grey) {
        cmsToneCurve* curve = cmsBuildGamma(c, d.gamma[0]);
        cmsHPROFILE h = curve != nullptr ? cmsCreateGrayProfileTHR(c, cmsD50_xyY(), curve) : nullptr;
        if (curve != nullptr) cmsFreeToneCurve(curve);
        return h;
    }
    const double* xy[4] = {d.white, d.red, d.green, d.blue};
    for (const double* p : xy)
        if (!(p[0] > 0 && p[0] < 1 && p[1] > 0 && p[1] < 1 && p[0] + p[1] <= 1)) return nullptr;
    const cmsCIExyY white = {d.white[0], d.white[1], 1};
    const cmsCIExyYTRIPLE primaries = {{d.red[0], d.red[1], 1}, {d.green[0], d.green[1], 1}, {d.blue[0], d.blue[1], 1}};
    cmsToneCurve* curves[3] = {cmsBuildGamma(c, d.gamma[0]), cmsBuildGamma(c, d.gamma[1]),
                               cmsBuildGamma(c, d.gamma[2])};
    cmsHPROFILE h =
        curves[0] && curves[1] && curves[2] ? cmsCreateRGBProfileTHR(c, &white, &primaries, curves) : nullptr;
    for (cmsToneCurve* curve : curves)
        if (curve != nullptr) cmsFreeToneCurve(curve);
    return h;
}

// Whether the fitted matrix gives LittleCMS's colour over a lattice of the cube, both sides clamped
// to sRGB's range.
template <typename LinearOut> bool matchesOnLattice(const Transform& t, const LinearOut& linearOut) {
    constexpr int kLattice[] = {0, 16, 64, 128, 192, 240, 255};
    for (int r : kLattice)
        for (int g : kLattice)
            for (int b : kLattice) {
                const int v[3] = {r, g, b};
                double want[3];
                linearOut(v, want);
                for (int row = 0; row < 3; ++row) {
                    double lin = t.matrix[row][3];
                    for (int ch = 0; ch < 3; ++ch) lin += t.matrix[row][ch] * t.linear[ch][v[ch]];
                    const double ours = srgbEncode(std::clamp(lin, 0.0, 1.0));
                    // NaN from LittleCMS fails the comparison.
                    if (!(std::fabs(ours - srgbEncode(std::clamp(want[row], 0.0, 1.0))) <= 0.25 / 255)) return false;
                }
            }
    return true;
}

// A matrix between per-channel curves, fitted to LittleCMS's own float transform and kept only
// where it reproduces it everywhere (a profile of curves and a matrix, possibly with an offset from
// black-point compensation); false otherwise.
bool fitMatrix(cmsContext c, cmsHPROFILE source, cmsHPROFILE xyz, int intent, Transform& t) {
    if (!cmsIsMatrixShaper(source)) return false;
    const cmsTagSignature trc[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int ch = 0; ch < 3; ++ch) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(source, trc[ch]));
        if (curve == nullptr) return false;
        for (int v = 0; v < 256; ++v) t.linear[ch][v] = cmsEvalToneCurveFloat(curve, static_cast<float>(v / 255.0));
    }
    Lcms f(cmsCreateTransformTHR(c, source, TYPE_RGB_FLT, xyz, TYPE_XYZ_FLT, intent, cmsFLAGS_NOCACHE));
    if (f.handle == nullptr) return false;
    // LittleCMS's colour in sRGB's linear light, unclamped.
    const auto& toSrgb = xyzToLinearSrgb().m;
    auto linearOut = [&](const int in[3], double out[3]) {
        const float encoded[3] = {in[0] / 255.0f, in[1] / 255.0f, in[2] / 255.0f};
        float o[3];
        cmsDoTransform(f.handle, encoded, o, 1);
        for (int row = 0; row < 3; ++row)
            out[row] = toSrgb[row][0] * o[0] + toSrgb[row][1] * o[1] + toSrgb[row][2] * o[2];
    };
    // Near grey every wide gamut stays inside sRGB's: the matrix comes from steps there.
    const int base[3] = {128, 128, 128};
    double at0[3];
    linearOut(base, at0);
    for (int ch = 0; ch < 3; ++ch) {
        int step[3] = {128, 128, 128};
        step[ch] = 192;
        double at[3];
        linearOut(step, at);
        const double dl = t.linear[ch][192] - t.linear[ch][128];
        if (!(std::fabs(dl) > 1e-4)) return false;
        for (int row = 0; row < 3; ++row) t.matrix[row][ch] = static_cast<float>((at[row] - at0[row]) / dl);
    }
    // A damaged curve can hold NaN or infinity where the lattice below never looks.
    for (const auto& channel : t.linear)
        for (float v : channel)
            if (!std::isfinite(v)) return false;
    for (int row = 0; row < 3; ++row) {
        double offset = at0[row];
        for (int ch = 0; ch < 3; ++ch) offset -= t.matrix[row][ch] * t.linear[ch][128];
        t.matrix[row][3] = static_cast<float>(offset);
    }
    for (const auto& row : t.matrix)
        for (float v : row)
            if (!std::isfinite(v)) return false;
    if (!matchesOnLattice(t, linearOut)) return false;
    t.finishMatrix();
    return true;
}

} // namespace

const XyzToSrgb& xyzToLinearSrgb() {
    static const XyzToSrgb inverse = [] {
        XyzToSrgb result{{{3.1338561, -1.6168667, -0.4906146},
                          {-0.9787684, 1.9161415, 0.0334540},
                          {0.0719453, -0.2289914, 1.4052427}}}; // if LittleCMS cannot say
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        if (srgb == nullptr) return result;
        const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
        double a[3][3]; // columns: each primary's XYZ
        bool whole = true;
        for (int col = 0; col < 3; ++col) {
            const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, tags[col]));
            whole = whole && xyz != nullptr;
            if (xyz != nullptr) a[0][col] = xyz->X, a[1][col] = xyz->Y, a[2][col] = xyz->Z;
        }
        cmsCloseProfile(srgb);
        if (!whole) return result;
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        if (!(std::fabs(det) > 1e-9)) return result;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                // The cofactor of (c, r) over the determinant.
                const int r0 = (c + 1) % 3, r1 = (c + 2) % 3, c0 = (r + 1) % 3, c1 = (r + 2) % 3;
                result.m[r][c] = (a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0]) / det;
            }
        return result;
    }();
    return inverse;
}

namespace {

// Every grid point's inputs, the last input varying fastest: the same for every transform of a
// kind, so made once.
const uint16_t* gridInputs(bool cmyk) {
    struct Inputs {
        std::vector<uint16_t> values;
        Inputs(unsigned points, unsigned inputs) {
            size_t total = 1;
            for (unsigned i = 0; i < inputs; ++i) total *= points;
            values.resize(total * inputs);
            for (size_t n = 0; n < total; ++n) {
                size_t rest = n;
                for (unsigned i = inputs; i-- > 0; rest /= points)
                    values[n * inputs + i] = static_cast<uint16_t>((rest % points) * 65535 / (points - 1));
            }
        }
    };
    if (cmyk) {
        static const Inputs four(Transform::kPoints4, 4);
        return four.values.data();
    }
    static const Inputs three(Transform::kPoints3, 3);
    return three.values.data();
}

// The grid: LittleCMS's transform at every point, to the connection space's XYZ, taken on to sRGB
// by the transform. Its pipeline is evaluated at the points themselves: an optimised transform
// would first sample it over a grid of its own (as many points again, more for CMYK) and hand back
// interpolations of that; and stopping at XYZ spares an output profile's curves at every point.
bool sampleGrid(cmsContext c, cmsHPROFILE source, cmsHPROFILE xyz, int intent, bool cmyk, Transform& t) {
    Lcms f(cmsCreateTransformTHR(c, source, cmyk ? TYPE_CMYK_16 : TYPE_RGB_16, xyz, TYPE_XYZ_FLT, intent,
                                 cmsFLAGS_NOCACHE | cmsFLAGS_NOOPTIMIZE));
    if (f.handle == nullptr) return false;
    const unsigned points = cmyk ? Transform::kPoints4 : Transform::kPoints3, inputs = cmyk ? 4 : 3;
    const uint16_t* in = gridInputs(cmyk);
    t.startGrid();
    // A line of the grid at a time, into a buffer that stays in cache.
    float out[Transform::kPoints3 * 3];
    for (size_t first = 0; first < t.gridPoints; first += points) {
        cmsDoTransform(f.handle, in + first * inputs, out, points);
        t.setGridPoints(first, out, points);
    }
    return true;
}

// Profiles that describe sRGB itself (copies of it, with their own rounding) leave the picture as
// stored: a matrix that is the identity's, and every value of each channel, alone and in greys,
// within one level of where it was.
bool describesSrgb(const Transform& t) {
    if (t.kind() == Transform::Kind::Grey) {
        for (int v = 0; v < 256; ++v)
            if (std::abs(t.grey[v] - v) > 1) return false;
        return true;
    }
    if (t.kind() != Transform::Kind::Matrix) return false;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            if (std::fabs(t.matrix[row][col] - (row == col ? 1.0f : 0.0f)) > (col == 3 ? 1e-4f : 2e-3f)) return false;
    uint8_t px[256 * 4];
    for (int ch = 0; ch < 4; ++ch) { // blue, green, red alone, then grey
        std::memset(px, 0, sizeof px);
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < 3; ++c)
                if (ch == 3 || c == ch) px[v * 4 + c] = static_cast<uint8_t>(v);
        t.bgraRow(px, 256, simd::detect());
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < 3; ++c)
                if (std::abs(px[v * 4 + c] - ((ch == 3 || c == ch) ? v : 0)) > 1) return false;
    }
    return true;
}

std::shared_ptr<Transform> create(const Description& d, Space space, bool gridOnly) {
    if (d.kind != Description::Kind::Profile && d.kind != Description::Kind::Calibrated) return nullptr;
    if (d.kind == Description::Kind::Calibrated && space == Space::Cmyk) return nullptr;
    const cmsColorSpaceSignature want = space == Space::Rgb    ? cmsSigRgbData
                                        : space == Space::Grey ? cmsSigGrayData
                                                               : cmsSigCmykData;
    // A profile of another colour model is refused from its header, before LittleCMS parses it.
    if (d.kind == Description::Kind::Profile &&
        (d.profile.size() < 20 || loadU32be(d.profile.data() + 16) != static_cast<uint32_t>(want)))
        return nullptr;
    Context c;
    if (c.context == nullptr) return nullptr;
    Profile source(openSource(c.context, d, space));
    if (source.handle == nullptr) return nullptr;
    const cmsProfileClassSignature cls = cmsGetDeviceClass(source.handle);
    if (cmsGetColorSpace(source.handle) != want || (cls != cmsSigInputClass && cls != cmsSigDisplayClass &&
                                                    cls != cmsSigOutputClass && cls != cmsSigColorSpaceClass))
        return nullptr;
    // Grey goes to sRGB's own profile; colour to the connection space's XYZ, which our own matrix
    // takes on to sRGB.
    Profile target(space == Space::Grey ? cmsCreate_sRGBProfileTHR(c.context) : cmsCreateXYZProfileTHR(c.context));
    if (target.handle == nullptr) return nullptr;
    cmsUInt32Number intent = cmsGetHeaderRenderingIntent(source.handle);
    if (intent > INTENT_ABSOLUTE_COLORIMETRIC) intent = INTENT_PERCEPTUAL;

    std::shared_ptr<Transform> t;
    if (space == Space::Grey) {
        t = std::make_shared<Transform>(Transform::Kind::Grey);
        Lcms f(cmsCreateTransformTHR(c.context, source.handle, TYPE_GRAY_8, target.handle, TYPE_RGB_8, intent,
                                     cmsFLAGS_NOCACHE));
        if (f.handle == nullptr) return nullptr;
        uint8_t in[256], out[256 * 3];
        for (int v = 0; v < 256; ++v) in[v] = static_cast<uint8_t>(v);
        cmsDoTransform(f.handle, in, out, 256);
        for (int v = 0; v < 256; ++v) t->grey[v] = out[v * 3 + 1];
    } else {
        if (space == Space::Rgb && !gridOnly) {
            auto matrix = std::make_shared<Transform>(Transform::Kind::Matrix);
            if (fitMatrix(c.context, source.handle, target.handle, static_cast<int>(intent), *matrix)) t = matrix;
        }
        if (t == nullptr) {
            t = std::make_shared<Transform>(space == Space::Cmyk ? Transform::Kind::Grid4 : Transform::Kind::Grid3);
            if (!sampleGrid(c.context, source.handle, target.handle, static_cast<int>(intent), space == Space::Cmyk,
                            *t))
                return nullptr;
        }
    }
    if (describesSrgb(*t)) return nullptr;
    return t;
}

// The last few descriptions met, with what they came to (null included: a damaged or sRGB profile
// is not examined again).
struct Entry {
    std::vector<uint8_t> key;
    std::shared_ptr<const Transform> transform;
};
constexpr size_t kKept = 8;
constinit Lock cacheLock;
constinit std::vector<Entry> cache;

std::vector<uint8_t> keyOf(const Description& d, Space space) {
    std::vector<uint8_t> key;
    key.push_back(static_cast<uint8_t>(space));
    key.push_back(static_cast<uint8_t>(d.kind));
    if (d.kind == Description::Kind::Profile) {
        key.insert(key.end(), d.profile.begin(), d.profile.end());
    } else {
        const double numbers[11] = {d.white[0], d.white[1], d.red[0],   d.red[1],   d.green[0], d.green[1],
                                    d.blue[0],  d.blue[1],  d.gamma[0], d.gamma[1], d.gamma[2]};
        const auto* bytes = reinterpret_cast<const uint8_t*>(numbers);
        key.insert(key.end(), bytes, bytes + sizeof numbers);
    }
    return key;
}

} // namespace

std::shared_ptr<const Transform> build(const Description& d, Space space, bool gridOnly) {
    try {
        return create(d, space, gridOnly);
    } catch (...) { // out of memory: the picture stays as stored
        return nullptr;
    }
}

std::shared_ptr<const Transform> toSrgb(const Description& d, Space space) {
    if (d.kind != Description::Kind::Profile && d.kind != Description::Kind::Calibrated) return nullptr;
    try {
        std::vector<uint8_t> key = keyOf(d, space);
        {
            std::lock_guard<Lock> guard(cacheLock);
            for (size_t i = 0; i < cache.size(); ++i) {
                if (cache[i].key != key) continue;
                std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(i),
                            cache.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return cache.front().transform;
            }
        }
        std::shared_ptr<const Transform> t = create(d, space, false);
        std::lock_guard<Lock> guard(cacheLock);
        if (cache.size() == kKept) cache.pop_back();
        cache.insert(cache.begin(), Entry{std::move(key), t});
        return t;
    } catch (...) {
        return nullptr;
    }
}

void releaseTransforms() {
    std::vector<Entry> old;
    std::lock_guard<Lock> guard(cacheLock);
    old.swap(cache);
}

} // namespace vek::colour
