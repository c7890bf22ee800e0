// A picture from its source, a named file (8-bit or UTF-16) or the caller's memory block: the
// information query opens a decoder, which parses the header, and keeps it in the record for the
// load that follows; a load without such a record opens its own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "imagelib/vek.h"

namespace vek {

using Source = std::variant<std::string, std::basic_string<VekWideChar>, std::pair<const void*, uint32_t>>;

[[nodiscard]] VekError queryPicture(const Source& source, int32_t formatIndex, FileInformation* info);
[[nodiscard]] VekError loadPicture(const Source& source, const LoadParams* params, FileInformation* info,
                                   LibraryBitmap** bitmap);
// False for a record no query of ours filled.
bool releaseQuery(FileInformation* info);

} // namespace vek
