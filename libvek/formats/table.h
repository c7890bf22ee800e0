/* Every format the library reads, once, in the order signatures are tried: its short name (also
 * the fuzz target's, its corpus's and its dictionary's), its index, the name the information record
 * reports, and the file-name extensions vekFormatIsSupported takes. The readers' registry, the
 * extension check, the fuzz targets (CMake reads this list) and the tests are all made from it. */
#ifndef VEK_FORMATS_TABLE_H
#define VEK_FORMATS_TABLE_H

#define VEK_FORMATS(X)                                    \
    X(png, VEK_FORMAT_PNG, "PNG", "png")                  \
    X(jpeg, VEK_FORMAT_JPEG, "JPEG", "jpg jpeg jpe jfif") \
    X(gif, VEK_FORMAT_GIF, "GIF", "gif")                  \
    X(bmp, VEK_FORMAT_BMP, "BMP", "bmp dib")              \
    X(psd, VEK_FORMAT_PSD, "PSD", "psd psb")              \
    X(dds, VEK_FORMAT_DDS, "DDS", "dds")                  \
    X(tga, VEK_FORMAT_TGA, "TGA", "tga")

#endif
