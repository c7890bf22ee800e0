// What the JPEG reader's whole-picture and banded decoders share: libjpeg sessions whose errors
// jump back to the caller, and CMYK's conversion.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "imagelib/vek.h"
#include "libvek/colour/colour.h"
#include "libvek/base/bytes.h"
#include "libvek/base/refusal.h"
#include "libvek/formats/jpeg_markers.h"

namespace vek::jpeg {

struct ErrorManager {
    jpeg_error_mgr base;
    jmp_buf escape;
    int code;
    char message[JMSG_LENGTH_MAX]; // libjpeg's words for the error
};

// Progressive files may hold any number of scans, and each is a pass over the whole picture: a few
// hundred bytes of redundant scans can keep one call busy for tens of seconds, where the viewer
// cannot cancel. Encoders write about ten (libjpeg's default script), rarely more than a hundred;
// like libjpeg-turbo's own fuzzers, more than 500 is refused.
constexpr int kMaxScans = 500;
constexpr int kTooManyScans = -1; // an ErrorManager code of our own

[[noreturn]] inline void onError(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
    errors->code = errors->base.msg_code;
    errors->base.format_message(cinfo, errors->message);
    longjmp(errors->escape, 1);
}

// Warnings (a truncated stream, corrupt data) are not fatal: the decoder fills in what is missing,
// as libjpeg-turbo's own tools do.
inline void onMessage(j_common_ptr, int) {}

inline VekError codeFor(const ErrorManager& errors) {
    VekError code = VEK_ERROR_DAMAGED;
    switch (errors.code) {
    case kTooManyScans: code = VEK_ERROR_TOO_LARGE; break;
    case JERR_BAD_PRECISION:
    case JERR_NOT_COMPILED:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_BAD_J_COLORSPACE: code = VEK_ERROR_UNSUPPORTED; break;
    case JERR_OUT_OF_MEMORY: code = VEK_ERROR_OUT_OF_MEMORY; break;
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW: code = VEK_ERROR_TOO_LARGE; break;
    default: break;
    }
    return refuse(code, "JPEG: %s", errors.message);
}

inline void countScans(j_common_ptr common) {
    auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
    if (cinfo->input_scan_number > kMaxScans) {
        auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
        errors->code = kTooManyScans;
        std::snprintf(errors->message, sizeof errors->message, "more than %d scans", kMaxScans);
        longjmp(errors->escape, 1);
    }
}

struct Session {
    jpeg_decompress_struct cinfo;
    ErrorManager errors;
    jpeg_progress_mgr progress;
    JSAMPLE* cmykRow = nullptr;
    Session() {
        std::memset(&cinfo, 0, sizeof cinfo);
        std::memset(&progress, 0, sizeof progress);
        cinfo.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = onError;
        errors.base.emit_message = onMessage;
        errors.code = 0;
        errors.message[0] = '\0';
        progress.progress_monitor = countScans;
    }
    ~Session() {
        jpeg_destroy_decompress(&cinfo);
        std::free(cmykRow);
    }
};

// Four-component JPEGs are CMYK stored inverted (255 is no ink), the convention of Adobe's writers,
// which wrote nearly all of them; ImageMagick and Pillow read those without Adobe's marker the same.
// Through the file's CMYK profile where it has one.
inline void cmykToBgrx(const JSAMPLE* in, uint8_t* out, JDIMENSION width, const colour::Transform* profile,
                       simd::Level kernels) {
    if (profile != nullptr) return profile->cmykRow(in, out, width, true, kernels);
    for (JDIMENSION x = 0; x < width; ++x, in += 4, out += 4) {
        const unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        out[0] = static_cast<uint8_t>((y * k + 127) / 255);
        out[1] = static_cast<uint8_t>((m * k + 127) / 255);
        out[2] = static_cast<uint8_t>((c * k + 127) / 255);
        out[3] = 255;
    }
}

} // namespace vek::jpeg
