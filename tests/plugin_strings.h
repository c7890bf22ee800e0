// The plug-in's 16 information strings as the host must see them, for every test that asks.
#pragma once

inline const char* const kPluginStrings[16] = {
    "00IN",  "VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)",
    "*.psd", "VEK Adobe Photoshop (*.psd)",
    "*.dds", "VEK Direct Draw Surface (*.dds)",
    "*.gif", "VEK Graphics Interchange Format (*.gif)",
    "*.jpg", "VEK Joint Photographic Experts Group (*.jpg)",
    "*.png", "VEK Portable Network Graphics (*.png)",
    "*.tga", "VEK Truevision Targa (*.tga)",
    "*.bmp", "VEK Windows Bitmap (*.bmp)",
};
