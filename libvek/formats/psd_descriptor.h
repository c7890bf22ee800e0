// Photoshop's action descriptors: the nested objects, lists, numbers with units, enumerations and
// strings in which fill, adjustment, vector and effect blocks keep their settings. One reader for
// all of them; every length is checked against the block and nesting stops at a fixed depth.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "libvek/base/bytes.h"

namespace vek::psd {

struct DItem;

struct DValue {
    enum class Kind : uint8_t { None, Object, List, Number, Integer, Bool, Enum, Text, Raw, Reference };
    Kind kind = Kind::None;
    double number = 0;        // Number: the value; Integer and Bool too, as numbers
    std::string unit;         // Number: "#Pxl", "#Prc", "#Ang", ... or empty for a plain double
    std::string id;           // Object: class ID; Enum: the enumerated value; Text: the text as UTF-8
    ByteView raw;             // Raw: the bytes of 'tdta' and 'alis'
    std::vector<DItem> items; // Object: keyed values
    std::vector<DValue> list; // List, and the numbers of a unit list

    bool isObject() const { return kind == Kind::Object; }
    // The value under a key of an object; null when it has none or is no object.
    const DValue* get(std::string_view key) const;
    // Numbers under a key, or a fallback where the key is missing or holds no number.
    double num(std::string_view key, double fallback = 0) const;
    bool flag(std::string_view key, bool fallback = false) const;
    // An enumerated (or text) value under a key, or empty.
    std::string_view enumOf(std::string_view key) const;
};

struct DItem {
    std::string key;
    DValue value;
};

// Nesting deeper than this is refused: real files nest a handful of levels.
constexpr unsigned kMaxDescriptorDepth = 32;

// A descriptor body (class name, class ID, items) at the reader's position; false on any length
// that runs past the view or nesting past the cap.
[[nodiscard]] bool readDescriptor(ByteReader& r, DValue& out, unsigned depth = 0);

// A tagged block that is a descriptor after a 4-byte version (16).
[[nodiscard]] bool readVersionedDescriptor(ByteView block, DValue& out);

} // namespace vek::psd
