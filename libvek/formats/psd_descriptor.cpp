// Action descriptors, as Adobe's file format document lays them out ("Descriptor structure").
#include "libvek/formats/psd_descriptor.h"

#include <cstring>

namespace vek::psd {
namespace {

// A UTF-16 string: a count of code units, then the units, big-endian. Kept as UTF-8.
bool readUnicode(ByteReader& r, std::string* out) {
    uint32_t count;
    if (!r.u32be(count) || count > r.remaining() / 2) return false;
    const uint8_t* p = r.take(size_t{count} * 2);
    if (out == nullptr) return true;
    out->clear();
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned c = loadU16be(p + i * 2);
        if (c == 0) continue;
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// A key or class ID: a length, then that many bytes, or four when the length is 0.
bool readId(ByteReader& r, std::string* out) {
    uint32_t length;
    if (!r.u32be(length)) return false;
    const size_t n = length == 0 ? 4 : length;
    const uint8_t* p = r.take(n);
    if (p == nullptr) return false;
    if (out) out->assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool readDouble(ByteReader& r, double& v) {
    uint64_t bits;
    if (!r.u64be(bits)) return false;
    std::memcpy(&v, &bits, 8);
    return true;
}

bool readValue(ByteReader& r, const uint8_t* type, DValue& out, unsigned depth);

bool readList(ByteReader& r, DValue& out, unsigned depth) {
    uint32_t count;
    // Every item takes at least its 4-byte type.
    if (!r.u32be(count) || count > r.remaining() / 4) return false;
    out.kind = DValue::Kind::List;
    out.list.resize(count);
    for (auto& item : out.list) {
        const uint8_t* type = r.take(4);
        if (type == nullptr || !readValue(r, type, item, depth + 1)) return false;
    }
    return true;
}

// A reference: items of their own types, kept only as a kind (nothing a picture needs).
bool readReference(ByteReader& r, DValue& out) {
    uint32_t count;
    if (!r.u32be(count) || count > r.remaining() / 4) return false;
    out.kind = DValue::Kind::Reference;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* type = r.take(4);
        if (type == nullptr) return false;
        const std::string_view t(reinterpret_cast<const char*>(type), 4);
        bool ok;
        if (t == "prop")
            ok = readUnicode(r, nullptr) && readId(r, nullptr) && readId(r, nullptr);
        else if (t == "Clss")
            ok = readUnicode(r, nullptr) && readId(r, nullptr);
        else if (t == "Enmr")
            ok = readUnicode(r, nullptr) && readId(r, nullptr) && readId(r, nullptr) && readId(r, nullptr);
        else if (t == "rele")
            ok = readUnicode(r, nullptr) && readId(r, nullptr) && r.skip(4);
        else if (t == "Idnt" || t == "indx")
            ok = r.skip(4);
        else if (t == "name")
            ok = readUnicode(r, nullptr) && readId(r, nullptr) && readUnicode(r, nullptr);
        else
            return false;
        if (!ok) return false;
    }
    return true;
}

// The numeric types: doubles with or without a unit, a list of them, 32- and 64-bit integers, a flag.
bool readNumber(ByteReader& r, std::string_view t, DValue& out) {
    using Kind = DValue::Kind;
    if (t == "doub") {
        out.kind = Kind::Number;
        return readDouble(r, out.number);
    }
    if (t == "UntF") {
        const uint8_t* unit = r.take(4);
        if (unit == nullptr) return false;
        out.kind = Kind::Number;
        out.unit.assign(reinterpret_cast<const char*>(unit), 4);
        return readDouble(r, out.number);
    }
    if (t == "UnFl") { // a unit, then a count of doubles
        const uint8_t* unit = r.take(4);
        uint32_t count;
        if (unit == nullptr || !r.u32be(count) || count > r.remaining() / 8) return false;
        out.kind = Kind::List;
        out.list.resize(count);
        for (auto& v : out.list) {
            v.kind = Kind::Number;
            v.unit.assign(reinterpret_cast<const char*>(unit), 4);
            if (!readDouble(r, v.number)) return false;
        }
        return true;
    }
    if (t == "long") {
        uint32_t v;
        if (!r.u32be(v)) return false;
        out.kind = Kind::Integer;
        out.number = static_cast<int32_t>(v);
        return true;
    }
    if (t == "comp") {
        uint64_t v;
        if (!r.u64be(v)) return false;
        out.kind = Kind::Integer;
        out.number = static_cast<double>(static_cast<int64_t>(v));
        return true;
    }
    if (t == "bool") {
        uint8_t v;
        if (!r.u8(v)) return false;
        out.kind = Kind::Bool;
        out.number = v != 0;
        return true;
    }
    return false;
}

bool readValue(ByteReader& r, const uint8_t* type, DValue& out, unsigned depth) {
    if (depth > kMaxDescriptorDepth) return false;
    const std::string_view t(reinterpret_cast<const char*>(type), 4);
    using Kind = DValue::Kind;
    if (t == "Objc" || t == "GlbO") return readDescriptor(r, out, depth + 1);
    if (t == "VlLs") return readList(r, out, depth);
    if (t == "doub" || t == "UntF" || t == "UnFl" || t == "long" || t == "comp" || t == "bool")
        return readNumber(r, t, out);
    if (t == "TEXT") {
        out.kind = Kind::Text;
        return readUnicode(r, &out.id);
    }
    if (t == "enum") {
        out.kind = Kind::Enum;
        return readId(r, nullptr) && readId(r, &out.id);
    }
    if (t == "type" || t == "GlbC") {
        out.kind = Kind::Enum;
        return readUnicode(r, nullptr) && readId(r, &out.id);
    }
    if (t == "tdta" || t == "alis" || t == "Pth ") {
        uint32_t length;
        if (!r.u32be(length)) return false;
        const uint8_t* p = r.take(length);
        if (p == nullptr) return false;
        out.kind = Kind::Raw;
        out.raw = {p, length};
        return true;
    }
    if (t == "obj ") return readReference(r, out);
    if (t == "ObAr") { // a count, then a descriptor body
        return r.skip(4) && readDescriptor(r, out, depth + 1);
    }
    return false;
}

} // namespace

const DValue* DValue::get(std::string_view key) const {
    if (kind != Kind::Object) return nullptr;
    for (const auto& item : items)
        if (item.key == key) return &item.value;
    return nullptr;
}

double DValue::num(std::string_view key, double fallback) const {
    const DValue* v = get(key);
    if (v == nullptr || (v->kind != Kind::Number && v->kind != Kind::Integer && v->kind != Kind::Bool)) return fallback;
    return v->number;
}

bool DValue::flag(std::string_view key, bool fallback) const {
    const DValue* v = get(key);
    return v == nullptr || v->kind != Kind::Bool ? fallback : v->number != 0;
}

std::string_view DValue::enumOf(std::string_view key) const {
    const DValue* v = get(key);
    if (v == nullptr || (v->kind != Kind::Enum && v->kind != Kind::Text)) return {};
    return v->id;
}

bool readDescriptor(ByteReader& r, DValue& out, unsigned depth) {
    if (depth > kMaxDescriptorDepth) return false;
    uint32_t count;
    if (!readUnicode(r, nullptr) || !readId(r, &out.id) || !r.u32be(count)) return false;
    // Every item takes at least a 4-byte key length, 4 key bytes and a 4-byte type.
    if (count > r.remaining() / 12) return false;
    out.kind = DValue::Kind::Object;
    out.items.resize(count);
    for (auto& item : out.items) {
        if (!readId(r, &item.key)) return false;
        const uint8_t* type = r.take(4);
        if (type == nullptr || !readValue(r, type, item.value, depth)) return false;
    }
    return true;
}

bool readVersionedDescriptor(ByteView block, DValue& out) {
    ByteReader r(block);
    uint32_t version;
    return r.u32be(version) && version == 16 && readDescriptor(r, out);
}

} // namespace vek::psd
