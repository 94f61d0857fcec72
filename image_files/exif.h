// EXIF for the image files of every platform: the fields that travel from one file to the next,
// read from any TIFF structure (an EXIF block, or a TIFF file itself), laid out again as an
// EXIF block, or added to the first IFD of a TIFF file that an encoder wrote without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image_io {

enum ExifIfd : uint8_t { kIfd0, kExifIfd, kGpsIfd, kInteropIfd, kIfdCount };
constexpr uint16_t kExifPointer = 34665, kGpsPointer = 34853, kInteropPointer = 40965;
constexpr uint16_t kXmpTag = 700;

struct ExifField {
  uint8_t ifd;
  uint16_t tag;
  uint16_t type;  // TIFF field type, 1..12
  uint32_t count;
  std::vector<uint8_t> value;  // count values of the type, little-endian
};

// Bytes of one value of a TIFF field type; 0 for a type this code does not know.
uint32_t type_size(uint16_t type);

// Whether a field goes from one file to the next (see exif.cpp).
bool travels(uint8_t ifd, uint16_t tag);

// The travelling fields of a TIFF structure ("Exif\0\0" before it is skipped), little-endian,
// the pointers to the EXIF, GPS and Interop IFDs followed; what lies outside it is ignored.
std::vector<ExifField> exif_fields(const uint8_t* data, std::size_t size);
std::vector<ExifField> exif_fields(const std::vector<uint8_t>& block);

// A little-endian TIFF structure holding the fields: the first IFD, then the EXIF, GPS and
// Interop IFDs that have fields, each pointed to from its parent. Empty without fields.
std::vector<uint8_t> exif_block(std::vector<ExifField> fields);

// Adds the fields to a little-endian TIFF file: a new first IFD (the old one's entries, the
// travelling first-IFD fields it lacks and the pointers) and the other IFDs go at its end, and
// the header points to it. False, with the reason, when the file cannot be read or written or
// is not a classic little-endian TIFF.
bool add_exif_to_tiff(const std::string& path, const std::vector<ExifField>& fields,
                      std::string* why);
// The same for a TIFF file's bytes in memory.
bool add_exif_to_tiff(std::vector<uint8_t>* tiff, const std::vector<ExifField>& fields,
                      std::string* why);

}  // namespace image_io
