// The plug-in's 16 information strings as hosts see them: its version, then a filter and a
// description for each format. The plug-in answers from this table and the tests that ask it, in
// process or through the built DLL, hold its answers to the same table.
#pragma once

inline constexpr int kPluginInfoCount = 16;

inline constexpr const char* kPluginStrings[kPluginInfoCount] = {
    "00IN",  "VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)",
    "*.psd", "VEK Adobe Photoshop (*.psd)",
    "*.dds", "VEK Direct Draw Surface (*.dds)",
    "*.gif", "VEK Graphics Interchange Format (*.gif)",
    "*.jpg", "VEK Joint Photographic Experts Group (*.jpg)",
    "*.png", "VEK Portable Network Graphics (*.png)",
    "*.tga", "VEK Truevision Targa (*.tga)",
    "*.bmp", "VEK Windows Bitmap (*.bmp)",
};
