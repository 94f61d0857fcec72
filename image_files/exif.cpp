// EXIF fields and the TIFF structures that hold them: reading the fields that travel, laying
// IFDs out from any offset, and adding them to a TIFF file another encoder wrote.
#include "image_files/exif.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>

#include "plugin_host/arguments.h"

namespace image_io {

uint32_t type_size(uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
      return 8;
    default:
      return 0;
  }
}

// The first IFD's fields that describe how the pixels are stored (size, samples, strips,
// tiles, compression, resolution), the pointers to other IFDs and the blocks carried on their
// own (XMP, IPTC, Photoshop's, the profile) are the encoder's or handled apart; the rest, and
// every field of the other IFDs but the Interop pointer, travel.
bool travels(uint8_t ifd, uint16_t tag) {
  if (ifd == kExifIfd) return tag != kInteropPointer;
  if (ifd != kIfd0) return true;
  static const uint16_t kStructure[] = {
      254, 255, 256, 257, 258,     259,   262,   263,          264,   265,         266,  273, 277,
      278, 279, 280, 281, 282,     283,   284,   290,          291,   292,         293,  296, 297,
      317, 320, 321, 322, 323,     324,   325,   330,          332,   334,         336,  337, 338,
      339, 340, 341, 347, 512,     513,   514,   515,          517,   518,         519,  520, 521,
      529, 530, 531, 532, kXmpTag, 33723, 34377, kExifPointer, 34675, kGpsPointer, 37724};
  return std::find(std::begin(kStructure), std::end(kStructure), tag) == std::end(kStructure);
}

namespace {

void put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(uint8_t(v));
  out->push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>* out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

uint32_t little16(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8); }
uint32_t little32(const uint8_t* p) { return little16(p) | little16(p + 2) << 16; }

// An IFD entry as it is to be written: a field, or 12 bytes kept from the file as they are.
struct Entry {
  uint16_t tag;
  const ExifField* field;
  std::array<uint8_t, 12> kept;
};

// The first IFD as a file has it: its entries and the offset of the IFD after it.
struct FirstIfd {
  std::vector<std::array<uint8_t, 12>> entries;
  uint32_t next = 0;
};

// Lays the fields' IFDs out as they are to lie from file offset `base`, IFD0 first with the
// entries of `first` merged in (a field whose tag `first` has is left out). The pointers to
// the EXIF, GPS and Interop IFDs are made here.
std::vector<uint8_t> lay_out(std::vector<ExifField> fields, uint32_t base, const FirstIfd& first) {
  std::stable_sort(fields.begin(), fields.end(), [](const ExifField& a, const ExifField& b) {
    return a.ifd != b.ifd ? a.ifd < b.ifd : a.tag < b.tag;
  });
  fields.erase(std::unique(fields.begin(), fields.end(),
                           [](const ExifField& a, const ExifField& b) {
                             return a.ifd == b.ifd && a.tag == b.tag;
                           }),
               fields.end());
  std::vector<Entry> ifds[kIfdCount];
  for (const std::array<uint8_t, 12>& kept : first.entries)
    ifds[kIfd0].push_back(Entry{uint16_t(little16(kept.data())), nullptr, kept});
  auto has = [&](uint8_t ifd, uint16_t tag) {
    return std::any_of(ifds[ifd].begin(), ifds[ifd].end(),
                       [&](const Entry& e) { return e.tag == tag; });
  };
  for (const ExifField& field : fields)
    if (field.ifd < kIfdCount && !has(field.ifd, field.tag))
      ifds[field.ifd].push_back(Entry{field.tag, &field, {}});
  // Pointer fields, their values filled in once the offsets are known.
  ExifField pointers[kIfdCount];
  const struct {
    uint8_t parent, child;
    uint16_t tag;
  } links[] = {{kIfd0, kExifIfd, kExifPointer},
               {kIfd0, kGpsIfd, kGpsPointer},
               {kExifIfd, kInteropIfd, kInteropPointer}};
  const bool present[kIfdCount] = {true, !ifds[kExifIfd].empty() || !ifds[kInteropIfd].empty(),
                                   !ifds[kGpsIfd].empty(), !ifds[kInteropIfd].empty()};
  for (const auto& link : links) {
    if (!present[link.child]) continue;
    std::vector<Entry>& parent = ifds[link.parent];
    parent.erase(std::remove_if(parent.begin(), parent.end(),
                                [&](const Entry& e) { return e.tag == link.tag; }),
                 parent.end());
    pointers[link.child] = ExifField{link.parent, link.tag, 4, 1, {0, 0, 0, 0}};
    parent.push_back(Entry{link.tag, &pointers[link.child], {}});
  }
  uint32_t offset[kIfdCount] = {};
  uint32_t next = base;
  for (int i = 0; i < kIfdCount; ++i) {
    if (!present[i]) continue;
    std::sort(ifds[i].begin(), ifds[i].end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    offset[i] = next;
    next += 2 + 12 * uint32_t(ifds[i].size()) + 4;
    for (const Entry& entry : ifds[i])
      if (entry.field != nullptr && entry.field->value.size() > 4)
        next += uint32_t(entry.field->value.size() + (entry.field->value.size() & 1));
  }
  for (const auto& link : links) {
    if (!present[link.child]) continue;
    std::vector<uint8_t> value;
    put32(&value, offset[link.child]);
    pointers[link.child].value = value;
  }
  std::vector<uint8_t> out;
  for (int i = 0; i < kIfdCount; ++i) {
    if (!present[i]) continue;
    uint32_t data = offset[i] + 2 + 12 * uint32_t(ifds[i].size()) + 4;
    std::vector<uint8_t> tail;
    put16(&out, uint32_t(ifds[i].size()));
    for (const Entry& entry : ifds[i]) {
      if (entry.field == nullptr) {
        out.insert(out.end(), entry.kept.begin(), entry.kept.end());
        continue;
      }
      const ExifField& field = *entry.field;
      put16(&out, field.tag);
      put16(&out, field.type);
      put32(&out, field.count);
      if (field.value.size() <= 4) {
        std::vector<uint8_t> inline_value = field.value;
        inline_value.resize(4, 0);
        out.insert(out.end(), inline_value.begin(), inline_value.end());
      } else {
        put32(&out, data + uint32_t(tail.size()));
        tail.insert(tail.end(), field.value.begin(), field.value.end());
        if (field.value.size() & 1) tail.push_back(0);
      }
    }
    put32(&out, i == kIfd0 ? first.next : 0);
    out.insert(out.end(), tail.begin(), tail.end());
  }
  return out;
}

bool seek(std::FILE* file, uint64_t at) {
#ifdef _WIN32
  return _fseeki64(file, int64_t(at), SEEK_SET) == 0;
#else
  return fseeko(file, off_t(at), SEEK_SET) == 0;
#endif
}

}  // namespace

std::vector<ExifField> exif_fields(const uint8_t* data, std::size_t size) {
  std::vector<ExifField> fields;
  std::size_t base = size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0 ? 6 : 0;
  if (size < base + 8) return fields;
  const uint8_t* b = data + base;
  size -= base;
  bool little = b[0] == 'I' && b[1] == 'I';
  if (!little && !(b[0] == 'M' && b[1] == 'M')) return fields;
  auto u16 = [&](std::size_t at) {
    return little ? uint32_t(b[at] | b[at + 1] << 8) : uint32_t(b[at] << 8 | b[at + 1]);
  };
  auto u32 = [&](std::size_t at) {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  if (u16(2) != 42) return fields;
  std::vector<uint32_t> seen;
  struct Pending {
    uint8_t ifd;
    uint32_t offset;
  };
  std::vector<Pending> pending = {{kIfd0, u32(4)}};
  while (!pending.empty()) {
    Pending ifd = pending.back();
    pending.pop_back();
    if (std::find(seen.begin(), seen.end(), ifd.offset) != seen.end() ||
        seen.size() >= std::size_t(kIfdCount) || size < 2 || ifd.offset > size - 2)
      continue;
    seen.push_back(ifd.offset);
    uint32_t entries = u16(ifd.offset);
    for (uint32_t i = 0; i < entries; ++i) {
      std::size_t entry = std::size_t(ifd.offset) + 2 + 12 * std::size_t(i);
      if (entry + 12 > size) break;
      uint16_t tag = uint16_t(u16(entry)), type = uint16_t(u16(entry + 2));
      uint32_t count = u32(entry + 4);
      bool pointer = (type == 4 || type == 13) && count == 1;
      if (pointer && ifd.ifd == kIfd0 && tag == kExifPointer)
        pending.push_back({kExifIfd, u32(entry + 8)});
      else if (pointer && ifd.ifd == kIfd0 && tag == kGpsPointer)
        pending.push_back({kGpsIfd, u32(entry + 8)});
      else if (pointer && ifd.ifd == kExifIfd && tag == kInteropPointer)
        pending.push_back({kInteropIfd, u32(entry + 8)});
      uint32_t unit = type_size(type);
      if (unit == 0 || count == 0 || count > (1u << 28) / unit || !travels(ifd.ifd, tag)) continue;
      std::size_t bytes = std::size_t(unit) * count;
      std::size_t at = bytes <= 4 ? entry + 8 : std::size_t(u32(entry + 8));
      if (at > size || bytes > size - at) continue;
      ExifField field{ifd.ifd, tag, type, count, std::vector<uint8_t>(b + at, b + at + bytes)};
      std::size_t element = type == 5 || type == 10 ? 4 : unit;  // rationals: two LONGs each
      if (!little && element > 1)
        for (std::size_t e = 0; e < bytes; e += element)
          std::reverse(field.value.begin() + e, field.value.begin() + e + element);
      fields.push_back(std::move(field));
    }
  }
  return fields;
}

std::vector<ExifField> exif_fields(const std::vector<uint8_t>& block) {
  return exif_fields(block.data(), block.size());
}

std::vector<uint8_t> exif_block(std::vector<ExifField> fields) {
  if (fields.empty()) return {};
  std::vector<uint8_t> out = {'I', 'I', 42, 0};
  put32(&out, 8);
  std::vector<uint8_t> ifds = lay_out(std::move(fields), 8, FirstIfd{});
  out.insert(out.end(), ifds.begin(), ifds.end());
  return out;
}

namespace {

// The first IFD of a little-endian TIFF, through `read(offset, count, out)`; false with the
// reason when it is not one or cannot be read.
bool read_first_ifd(const std::function<bool(uint64_t, std::size_t, uint8_t*)>& read,
                    FirstIfd* first, std::string* why) {
  uint8_t header[8], count[2], next[4];
  if (!read(0, 8, header) || std::memcmp(header, "II*\0", 4) != 0) {
    *why = "not a little-endian TIFF";
    return false;
  }
  const uint64_t at = little32(header + 4);
  bool whole = read(at, 2, count);
  first->entries.resize(whole ? little16(count) : 0);
  for (std::size_t i = 0; whole && i < first->entries.size(); ++i)
    whole = read(at + 2 + 12 * i, 12, first->entries[i].data());
  whole = whole && read(at + 2 + 12 * first->entries.size(), 4, next);
  first->next = little32(next);
  if (!whole) *why = "its first IFD cannot be read";
  return whole;
}

}  // namespace

bool add_exif_to_tiff(std::vector<uint8_t>* tiff, const std::vector<ExifField>& fields,
                      std::string* why) {
  if (fields.empty()) return true;
  FirstIfd first;
  auto read = [&](uint64_t at, std::size_t count, uint8_t* out) {
    if (at > tiff->size() || count > tiff->size() - at) return false;
    std::memcpy(out, tiff->data() + at, count);
    return true;
  };
  if (!read_first_ifd(read, &first, why)) return false;
  if (tiff->size() & 1) tiff->push_back(0);  // IFDs start on a word boundary
  const std::size_t base = tiff->size();
  std::vector<uint8_t> ifds = lay_out(fields, uint32_t(base), first);
  if (base + ifds.size() > 0xFFFFFFFFu) {
    *why = "the EXIF does not fit in a classic TIFF";
    return false;
  }
  tiff->insert(tiff->end(), ifds.begin(), ifds.end());
  for (int i = 0; i < 4; ++i) (*tiff)[4 + std::size_t(i)] = uint8_t(base >> (8 * i));
  return true;
}

bool add_exif_to_tiff(const std::string& path, const std::vector<ExifField>& fields,
                      std::string* why) {
  if (fields.empty()) return true;
  std::FILE* file = plugin_host::open_file(path, "r+b");
  if (file == nullptr) {
    *why = std::string("cannot be opened again (") + std::strerror(errno) + ")";
    return false;
  }
  auto fail = [&](const std::string& reason) {
    std::fclose(file);
    *why = reason;
    return false;
  };
  FirstIfd first;
  auto read = [&](uint64_t at, std::size_t count, uint8_t* out) {
    return seek(file, at) && std::fread(out, 1, count, file) == count;
  };
  std::string reason;
  if (!read_first_ifd(read, &first, &reason)) return fail(reason);
  if (std::fseek(file, 0, SEEK_END) != 0) return fail("its end cannot be found");
#ifdef _WIN32
  const uint64_t end = uint64_t(_ftelli64(file));
#else
  const uint64_t end = uint64_t(ftello(file));
#endif
  const uint64_t base = end + (end & 1);  // IFDs start on a word boundary
  std::vector<uint8_t> ifds = lay_out(fields, uint32_t(base), first);
  if (base + ifds.size() > 0xFFFFFFFFu) return fail("the EXIF does not fit in a classic TIFF");
  std::vector<uint8_t> pointer;
  put32(&pointer, uint32_t(base));
  const bool written = (base == end || std::fputc(0, file) != EOF) &&
                       std::fwrite(ifds.data(), 1, ifds.size(), file) == ifds.size() &&
                       seek(file, 4) && std::fwrite(pointer.data(), 1, 4, file) == 4;
  if (!written) return fail(std::string("cannot be written (") + std::strerror(errno) + ")");
  if (std::fclose(file) != 0) {
    *why = std::string("cannot be written (") + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

}  // namespace image_io
