// Metadata inside the bytes of JPEG, PNG and TIFF files, read and written by this code where a
// platform's codecs do not (Windows' WIC under wine stores no profile, EXIF or XMP, and reads
// none from a JPEG): the ICC profile, EXIF, XMP and IPTC records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "image_files/exif.h"
#include "image_files/image_io.h"

namespace image_io {

// The CRC of PNG chunks (and zlib's crc32).
uint32_t crc32(const uint8_t* data, std::size_t size);

// IPTC-NAA records travel as they are in TIFF (padded to whole 32-bit words), and in JPEG
// inside a Photoshop APP13 block as its resource 0x0404.
// The records of either form (a Photoshop block's resource, or records as they are, as far
// as they are whole).
std::vector<uint8_t> iptc_records(const std::vector<uint8_t>& block);
std::vector<uint8_t> photoshop_iptc_block(const std::vector<uint8_t>& records);
std::vector<uint8_t> tiff_iptc_block(const std::vector<uint8_t>& records);

// Calls `visit` with each marker segment of a JPEG's header, up to where the pixels begin: the
// marker and the segment's payload (after its length).
void for_each_jpeg_segment(
    const uint8_t* data, std::size_t size,
    const std::function<void(uint8_t marker, const uint8_t* payload, std::size_t bytes)>& visit);

// A JPEG's quality on the IJG's 1..100 scale, estimated from its quantisation tables: the
// quality whose tables, as libjpeg scales the JPEG standard's, lie nearest to the file's
// (the sum of the differences over the luminance and chrominance tables); exact for files
// libjpeg wrote. 0 when the bytes are no JPEG or hold no table.
int jpeg_quality(const uint8_t* data, std::size_t size);

// Each fills only the parts of *metadata that are still empty.
void read_jpeg_metadata(const uint8_t* data, std::size_t size, Metadata* metadata);
void read_png_metadata(const uint8_t* data, std::size_t size, Metadata* metadata);
void read_tiff_metadata(const uint8_t* data, std::size_t size, Metadata* metadata);

// The file with the metadata's profile, EXIF, XMP and IPTC in it (a part too large for the
// format's segments is left out): JPEG segments after the start (and a JFIF header), PNG
// chunks after the header. The resolution is the encoder's.
std::vector<uint8_t> jpeg_with_metadata(const std::vector<uint8_t>& jpeg, const Metadata& metadata);
std::vector<uint8_t> png_with_metadata(const std::vector<uint8_t>& png, const Metadata& metadata);
// The fields a TIFF's first IFD takes for the metadata: the EXIF's, and the profile, XMP and
// IPTC, for add_exif_to_tiff.
std::vector<ExifField> tiff_metadata_fields(const Metadata& metadata);

}  // namespace image_io
