// The profile, EXIF, XMP and IPTC inside JPEG segments, PNG chunks and a TIFF's first IFD: read
// from a file's bytes and put into an encoder's output.
#include "image_files/embedded_metadata.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace image_io {
namespace {

uint32_t big_endian(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

void put_big_endian(std::vector<uint8_t>* out, uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out->push_back(uint8_t(value >> shift));
}

bool starts_with(const uint8_t* data, std::size_t size, const char* text, std::size_t length) {
  return size >= length && std::memcmp(data, text, length) == 0;
}

constexpr char kPhotoshop[] = "Photoshop 3.0";  // with its terminating zero: 14 bytes
constexpr char kExif[] = "Exif\0";  // "Exif" and two zeros (the literal's own is the second)
constexpr char kXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";  // and a zero
constexpr char kIccProfile[] = "ICC_PROFILE";                     // and a zero
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";               // PNG's iTXt keyword
constexpr std::size_t kSegmentBytes = 65533;                      // a JPEG segment's payload

// The records as far as they are whole: a TIFF's padding, or anything after the last record,
// is left out.
std::vector<uint8_t> whole_records(const uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (at + 5 <= size && data[at] == 0x1C) {
    std::size_t length = big_endian(data + at + 3, 2);
    std::size_t header = 5;
    if (length & 0x8000) {  // an extended dataset: the length's length, then the length
      header += length & 0x7FFF;
      if ((length & 0x7FFF) > 4 || at + header > size) break;
      length = big_endian(data + at + 5, int(header - 5));
    }
    if (length > size - at - header) break;
    at += header + length;
  }
  return std::vector<uint8_t>(data, data + at);
}

// A zlib stream of stored (uncompressed) blocks: what PNG's iCCP chunk asks for, without a
// compressor.
std::vector<uint8_t> zlib_stored(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out = {0x78, 0x01};
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
    out.push_back(at + n == data.size() ? 1 : 0);
    out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
    out.insert(out.end(), data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + n));
    at += n;
  } while (at < data.size());
  uint32_t a = 1, b = 0;  // Adler-32
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  put_big_endian(&out, b << 16 | a, 4);
  return out;
}

void add_png_chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
  put_big_endian(png, uint32_t(data.size()), 4);
  const std::size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  put_big_endian(png, crc32(png->data() + start, png->size() - start), 4);
}

void add_jpeg_segment(std::vector<uint8_t>* out, uint8_t marker, const std::vector<uint8_t>& data) {
  out->push_back(0xFF);
  out->push_back(marker);
  put_big_endian(out, uint32_t(data.size() + 2), 2);
  out->insert(out->end(), data.begin(), data.end());
}

std::vector<uint8_t> with_prefix(const char* prefix, std::size_t length,
                                 const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(prefix, prefix + length);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace

void for_each_jpeg_segment(
    const uint8_t* data, std::size_t size,
    const std::function<void(uint8_t marker, const uint8_t* payload, std::size_t bytes)>& visit) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return;
  for (std::size_t at = 2; at + 4 <= size;) {
    if (data[at] != 0xFF) break;
    const uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill
      ++at;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) break;  // the end, or the pixels begin
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
      continue;
    }
    const std::size_t length = big_endian(data + at + 2, 2);
    if (length < 2 || at + 2 + length > size) break;
    visit(marker, data + at + 4, length - 2);
    at += 2 + length;
  }
}

namespace {

// The quantisation tables of the IJG's quality scale at 50 (those of the JPEG standard's
// annex K), luminance and chrominance, in the zigzag order in which files store them.
constexpr uint8_t kLuminance50[64] = {16,  11, 12, 14,  12,  10,  16,  14,  13, 14,  18,  17,  16,
                                      19,  24, 40, 26,  24,  22,  22,  24,  49, 35,  37,  29,  40,
                                      58,  51, 61, 60,  57,  51,  56,  55,  64, 72,  92,  78,  64,
                                      68,  87, 69, 55,  56,  80,  109, 81,  87, 95,  98,  103, 104,
                                      103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr uint8_t kChrominance50[64] = {
    17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// The table the IJG's libjpeg (and so libvips and most encoders) writes for a quality, 8-bit.
uint32_t scaled_entry(uint8_t base, int quality) {
  const uint32_t scale = quality < 50 ? uint32_t(5000 / quality) : uint32_t(200 - 2 * quality);
  return std::clamp<uint32_t>((base * scale + 50) / 100, 1, 255);
}

}  // namespace

int jpeg_quality(const uint8_t* data, std::size_t size) {
  // Tables 0 and 1 as the file has them (a later definition replaces an earlier one).
  std::vector<uint32_t> tables[2];
  for_each_jpeg_segment(data, size, [&](uint8_t marker, const uint8_t* p, std::size_t bytes) {
    if (marker != 0xDB) return;
    for (std::size_t at = 0; at < bytes;) {
      const int precision = p[at] >> 4, id = p[at] & 15;
      const std::size_t entries = 64 * (precision == 0 ? 1 : 2);
      if (precision > 1 || at + 1 + entries > bytes) return;
      std::vector<uint32_t> table(64);
      for (int i = 0; i < 64; ++i)
        table[i] = precision == 0 ? p[at + 1 + i] : big_endian(p + at + 1 + 2 * i, 2);
      if (id < 2) tables[id] = std::move(table);
      at += 1 + entries;
    }
  });
  if (tables[0].empty()) return 0;
  // The quality whose tables lie nearest, summed over both; of equals the higher.
  int best = 0;
  uint64_t best_distance = UINT64_MAX;
  for (int quality = 100; quality >= 1; --quality) {
    uint64_t distance = 0;
    for (int t = 0; t < 2; ++t)
      for (std::size_t i = 0; i < tables[t].size(); ++i) {
        const uint32_t ijg = scaled_entry(t == 0 ? kLuminance50[i] : kChrominance50[i], quality);
        distance += tables[t][i] > ijg ? tables[t][i] - ijg : ijg - tables[t][i];
      }
    if (distance < best_distance) best = quality, best_distance = distance;
  }
  return best;
}

uint32_t crc32(const uint8_t* data, std::size_t size) {
  uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> iptc_records(const std::vector<uint8_t>& block) {
  if (!starts_with(block.data(), block.size(), kPhotoshop, sizeof kPhotoshop))
    return whole_records(block.data(), block.size());
  // Photoshop's resources: "8BIM", the id, a name (a length byte and text, padded to even),
  // the data's size and the data (padded to even).
  std::size_t at = sizeof kPhotoshop;
  while (at + 12 <= block.size() && std::memcmp(&block[at], "8BIM", 4) == 0) {
    const uint32_t id = big_endian(&block[at + 4], 2);
    const std::size_t name = (std::size_t(block[at + 6]) + 2) & ~std::size_t(1);
    if (at + 6 + name + 4 > block.size()) break;
    const std::size_t size = big_endian(&block[at + 6 + name], 4);
    const std::size_t data = at + 6 + name + 4;
    if (size > block.size() - data) break;
    if (id == 0x0404) return whole_records(&block[data], size);
    at = data + ((size + 1) & ~std::size_t(1));
  }
  return {};
}

std::vector<uint8_t> photoshop_iptc_block(const std::vector<uint8_t>& records) {
  std::vector<uint8_t> block(kPhotoshop, kPhotoshop + sizeof kPhotoshop);
  const uint8_t resource[] = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0};
  block.insert(block.end(), resource, resource + sizeof resource);
  put_big_endian(&block, uint32_t(records.size()), 4);
  block.insert(block.end(), records.begin(), records.end());
  if (records.size() % 2 != 0) block.push_back(0);
  return block;
}

std::vector<uint8_t> tiff_iptc_block(const std::vector<uint8_t>& records) {
  std::vector<uint8_t> block = records;
  block.resize((block.size() + 3) & ~std::size_t(3), 0);  // whole words, as Photoshop writes
  return block;
}

void read_jpeg_metadata(const uint8_t* data, std::size_t size, Metadata* m) {
  std::map<int, std::vector<uint8_t>> icc_chunks;
  int icc_count = 0;
  std::vector<uint8_t> exif, xmp, iptc;
  for_each_jpeg_segment(data, size, [&](uint8_t marker, const uint8_t* segment, std::size_t bytes) {
    if (marker == 0xE1 && exif.empty() && starts_with(segment, bytes, kExif, sizeof kExif))
      exif.assign(segment + sizeof kExif, segment + bytes);
    else if (marker == 0xE1 && xmp.empty() &&
             starts_with(segment, bytes, kXmpNamespace, sizeof kXmpNamespace))
      xmp.assign(segment + sizeof kXmpNamespace, segment + bytes);
    else if (marker == 0xE2 && starts_with(segment, bytes, kIccProfile, sizeof kIccProfile) &&
             bytes >= sizeof kIccProfile + 2) {
      const int sequence = segment[sizeof kIccProfile];
      icc_count = segment[sizeof kIccProfile + 1];
      icc_chunks[sequence].assign(segment + sizeof kIccProfile + 2, segment + bytes);
    } else if (marker == 0xED && iptc.empty() &&
               starts_with(segment, bytes, kPhotoshop, sizeof kPhotoshop)) {
      iptc = iptc_records(std::vector<uint8_t>(segment, segment + bytes));
    }
  });
  if (m->exif.empty()) m->exif = std::move(exif);
  if (m->xmp.empty()) m->xmp = std::move(xmp);
  if (m->iptc.empty()) m->iptc = std::move(iptc);
  // The profile's chunks, numbered 1 to their count, each once.
  if (m->icc.empty() && icc_count > 0 && int(icc_chunks.size()) == icc_count &&
      icc_chunks.begin()->first == 1 && icc_chunks.rbegin()->first == icc_count)
    for (const auto& chunk : icc_chunks)
      m->icc.insert(m->icc.end(), chunk.second.begin(), chunk.second.end());
}

void read_png_metadata(const uint8_t* data, std::size_t size, Metadata* m) {
  for (std::size_t at = 8; at + 12 <= size;) {
    const std::size_t length = big_endian(data + at, 4);
    if (length > size - at - 12) break;
    const std::string type(data + at + 4, data + at + 8);
    const uint8_t* chunk = data + at + 8;
    if (type == "eXIf" && m->exif.empty() && length >= 8 &&
        (starts_with(chunk, length, "II", 2) || starts_with(chunk, length, "MM", 2)))
      m->exif.assign(chunk, chunk + length);
    // iTXt: keyword, zero, compression flag and method, language, zero, translated keyword,
    // zero, text; the XMP packet uncompressed.
    if (type == "iTXt" && m->xmp.empty() &&
        starts_with(chunk, length, kXmpKeyword, sizeof kXmpKeyword) &&
        length >= sizeof kXmpKeyword + 2 && chunk[sizeof kXmpKeyword] == 0) {
      std::size_t text = sizeof kXmpKeyword + 2;
      for (int zeros = 0; zeros < 2 && text < length; ++text) zeros += chunk[text] == 0;
      if (text <= length) m->xmp.assign(chunk + text, chunk + length);
    }
    if (type == "IEND") break;
    at += 12 + length;
  }
}

void read_tiff_metadata(const uint8_t* data, std::size_t size, Metadata* m) {
  if (size < 8) return;
  const bool little = data[0] == 'I' && data[1] == 'I';
  if (!little && !(data[0] == 'M' && data[1] == 'M')) return;
  auto u16 = [&](std::size_t at) {
    return little ? uint32_t(data[at] | data[at + 1] << 8) : big_endian(data + at, 2);
  };
  auto u32 = [&](std::size_t at) {
    return little ? u16(at) | u16(at + 2) << 16 : big_endian(data + at, 4);
  };
  if (u16(2) != 42) return;
  const std::size_t ifd = u32(4);
  if (ifd > size - 2) return;
  const uint32_t entries = u16(ifd);
  for (uint32_t i = 0; i < entries; ++i) {
    const std::size_t entry = ifd + 2 + 12 * std::size_t(i);
    if (entry + 12 > size) break;
    const uint16_t tag = uint16_t(u16(entry));
    const uint32_t unit = type_size(uint16_t(u16(entry + 2))), count = u32(entry + 4);
    if (unit == 0 || count > (1u << 28) / unit) continue;
    const std::size_t bytes = std::size_t(unit) * count;
    const std::size_t at = bytes <= 4 ? entry + 8 : std::size_t(u32(entry + 8));
    if (at > size || bytes > size - at) continue;
    const std::vector<uint8_t> value(data + at, data + at + bytes);
    if (tag == 34675 && m->icc.empty()) m->icc = value;
    if (tag == kXmpTag && m->xmp.empty()) m->xmp = value;
    if (tag == 33723 && m->iptc.empty()) m->iptc = iptc_records(value);
  }
  if (m->exif.empty()) m->exif = exif_block(exif_fields(data, size));
}

std::vector<uint8_t> jpeg_with_metadata(const std::vector<uint8_t>& jpeg, const Metadata& m) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return jpeg;
  std::size_t at = 2;  // after the start, and after a JFIF header there
  if (jpeg.size() >= 11 && jpeg[2] == 0xFF && jpeg[3] == 0xE0 &&
      std::memcmp(&jpeg[6], "JFIF", 5) == 0)
    at = 4 + big_endian(&jpeg[4], 2);
  if (at > jpeg.size()) return jpeg;
  std::vector<uint8_t> segments;
  if (!m.exif.empty() && m.exif.size() + 6 <= kSegmentBytes)
    add_jpeg_segment(&segments, 0xE1, with_prefix(kExif, sizeof kExif, m.exif));
  if (!m.xmp.empty() && m.xmp.size() + sizeof kXmpNamespace <= kSegmentBytes)
    add_jpeg_segment(&segments, 0xE1, with_prefix(kXmpNamespace, sizeof kXmpNamespace, m.xmp));
  const std::size_t chunk = kSegmentBytes - sizeof kIccProfile - 2;
  const std::size_t chunks = (m.icc.size() + chunk - 1) / chunk;
  for (std::size_t i = 0; chunks <= 255 && i < chunks; ++i) {
    std::vector<uint8_t> data(kIccProfile, kIccProfile + sizeof kIccProfile);
    data.push_back(uint8_t(i + 1));
    data.push_back(uint8_t(chunks));
    const std::size_t from = i * chunk, to = std::min(m.icc.size(), from + chunk);
    data.insert(data.end(), m.icc.begin() + std::ptrdiff_t(from),
                m.icc.begin() + std::ptrdiff_t(to));
    add_jpeg_segment(&segments, 0xE2, data);
  }
  const std::vector<uint8_t> iptc = m.iptc.empty() ? m.iptc : photoshop_iptc_block(m.iptc);
  if (!iptc.empty() && iptc.size() <= kSegmentBytes) add_jpeg_segment(&segments, 0xED, iptc);
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(at));
  out.insert(out.end(), segments.begin(), segments.end());
  out.insert(out.end(), jpeg.begin() + std::ptrdiff_t(at), jpeg.end());
  return out;
}

std::vector<uint8_t> png_with_metadata(const std::vector<uint8_t>& png, const Metadata& m) {
  constexpr std::size_t kAfterHeader = 8 + 12 + 13;  // the signature and IHDR
  if (png.size() < kAfterHeader || std::memcmp(&png[12], "IHDR", 4) != 0) return png;
  std::vector<uint8_t> out(png.begin(), png.begin() + kAfterHeader);
  if (!m.icc.empty()) {
    std::vector<uint8_t> data = {'I', 'C', 'C', ' ', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0};
    const std::vector<uint8_t> packed = zlib_stored(m.icc);
    data.insert(data.end(), packed.begin(), packed.end());
    add_png_chunk(&out, "iCCP", data);
  }
  // Only a TIFF structure, as readers (this one's too) take the chunk.
  const bool exif = m.exif.size() >= 8 && (starts_with(m.exif.data(), m.exif.size(), "II", 2) ||
                                           starts_with(m.exif.data(), m.exif.size(), "MM", 2));
  if (exif) add_png_chunk(&out, "eXIf", m.exif);
  if (!m.xmp.empty()) {
    std::vector<uint8_t> data(kXmpKeyword, kXmpKeyword + sizeof kXmpKeyword);
    data.insert(data.end(), {0, 0, 0, 0});  // uncompressed, no language or translation
    data.insert(data.end(), m.xmp.begin(), m.xmp.end());
    add_png_chunk(&out, "iTXt", data);
  }
  // The encoder's own chunks, but those the metadata replaces (a profile replaces sRGB).
  for (std::size_t at = kAfterHeader; at + 12 <= png.size();) {
    const std::size_t length = big_endian(&png[at + 0], 4);
    if (length > png.size() - at - 12) return png;
    const std::string type(png.begin() + std::ptrdiff_t(at + 4),
                           png.begin() + std::ptrdiff_t(at + 8));
    const bool replaced =
        (!m.icc.empty() && (type == "iCCP" || type == "sRGB")) || (exif && type == "eXIf");
    if (!replaced)
      out.insert(out.end(), png.begin() + std::ptrdiff_t(at),
                 png.begin() + std::ptrdiff_t(at + 12 + length));
    at += 12 + length;
  }
  return out;
}

std::vector<ExifField> tiff_metadata_fields(const Metadata& m) {
  std::vector<ExifField> fields = exif_fields(m.exif);
  if (!m.icc.empty()) fields.push_back(ExifField{kIfd0, 34675, 7, uint32_t(m.icc.size()), m.icc});
  if (!m.xmp.empty()) fields.push_back(ExifField{kIfd0, kXmpTag, 1, uint32_t(m.xmp.size()), m.xmp});
  if (!m.iptc.empty()) {
    std::vector<uint8_t> block = tiff_iptc_block(m.iptc);
    fields.push_back(ExifField{kIfd0, 33723, 7, uint32_t(block.size()), block});
  }
  return fields;
}

}  // namespace image_io
