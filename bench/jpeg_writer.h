// Benchmark JPEGs from libjpeg-turbo's encoder (quality 90, 4:2:0 unless full chroma is asked for):
// rows filled by the caller, top first, a restart marker every `restartRows` rows of blocks (0:
// none), an ICC profile when given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

// After <cstdio>: jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

inline std::vector<uint8_t> writeJpeg(int width, int height, int components, J_COLOR_SPACE space,
                                      const std::function<void(int y, uint8_t* row)>& fill, int restartRows = 0,
                                      const std::vector<uint8_t>& icc = {}, bool fullChroma = false) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    if (fullChroma) c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;
    c.restart_in_rows = restartRows;
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty()) jpeg_write_icc_profile(&c, icc.data(), static_cast<unsigned>(icc.size()));
    std::vector<uint8_t> row(static_cast<size_t>(width) * static_cast<size_t>(components));
    while (c.next_scanline < c.image_height) {
        fill(static_cast<int>(c.next_scanline), row.data());
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}
