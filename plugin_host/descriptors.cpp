// The descriptor suites of a scripting host (Photoshop's actions): descriptors and their
// handle bytes, the read suite over a played step (getters answer only for the type they
// read, as strict hosts do, and say so with paramErr), and the write suite whose closed
// descriptor the host keeps to record. Every handle and token is checked against the ones
// this run made, so a module's mistake is counted, never followed.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "plugin_host/descriptor_suites.h"

namespace plugin_host {
namespace fa = filter_api;

const DescriptorItem* Descriptor::find(uint32_t key) const {
  for (const DescriptorItem& item : items)
    if (item.key == key) return &item;
  return nullptr;
}

Descriptor& Descriptor::put(const DescriptorItem& item) {
  for (DescriptorItem& old : items) {
    if (old.key == item.key) {
      old = item;
      return *this;
    }
  }
  items.push_back(item);
  return *this;
}

Descriptor& Descriptor::put_integer(uint32_t key, int32_t value) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeInteger;
  item.integer = value;
  return put(item);
}
Descriptor& Descriptor::put_float(uint32_t key, double value) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeFloat;
  item.number = value;
  return put(item);
}
Descriptor& Descriptor::put_unit_float(uint32_t key, uint32_t unit, double value) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeUnitFloat;
  item.unit = unit;
  item.number = value;
  return put(item);
}
Descriptor& Descriptor::put_boolean(uint32_t key, bool value) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeBoolean;
  item.boolean = value;
  return put(item);
}
Descriptor& Descriptor::put_enumerated(uint32_t key, uint32_t enum_type, uint32_t value) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeEnumerated;
  item.enum_type = enum_type;
  item.enum_value = value;
  return put(item);
}
Descriptor& Descriptor::put_text(uint32_t key, const std::string& text) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeText;
  item.bytes = text;
  return put(item);
}

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void put_double(std::vector<uint8_t>& out, double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  put32(out, uint32_t(bits));
  put32(out, uint32_t(bits >> 32));
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
double get_double(const uint8_t* p) {
  uint64_t bits = uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
  double v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The data of one value in the handle bytes.
std::vector<uint8_t> item_data(const DescriptorItem& item) {
  std::vector<uint8_t> out;
  if (item.type == fa::typeInteger) {
    put32(out, uint32_t(item.integer));
  } else if (item.type == fa::typeFloat) {
    put_double(out, item.number);
  } else if (item.type == fa::typeUnitFloat) {
    put32(out, item.unit);
    put_double(out, item.number);
  } else if (item.type == fa::typeBoolean) {
    out.push_back(item.boolean ? 1 : 0);
  } else if (item.type == fa::typeEnumerated) {
    put32(out, item.enum_type);
    put32(out, item.enum_value);
  } else {
    out.assign(item.bytes.begin(), item.bytes.end());
  }
  return out;
}

// Reads one value's data; false when its size does not fit its type.
bool read_item_data(DescriptorItem& item, const uint8_t* p, uint32_t size) {
  if (item.type == fa::typeInteger) {
    if (size != 4) return false;
    item.integer = int32_t(get32(p));
  } else if (item.type == fa::typeFloat) {
    if (size != 8) return false;
    item.number = get_double(p);
  } else if (item.type == fa::typeUnitFloat) {
    if (size != 12) return false;
    item.unit = get32(p);
    item.number = get_double(p + 4);
  } else if (item.type == fa::typeBoolean) {
    if (size != 1) return false;
    item.boolean = p[0] != 0;
  } else if (item.type == fa::typeEnumerated) {
    if (size != 8) return false;
    item.enum_type = get32(p);
    item.enum_value = get32(p + 4);
  } else {
    item.bytes.assign(reinterpret_cast<const char*>(p), size);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> Descriptor::bytes() const {
  std::vector<uint8_t> out;
  put32(out, uint32_t(items.size()));
  for (const DescriptorItem& item : items) {
    std::vector<uint8_t> data = item_data(item);
    put32(out, item.key);
    put32(out, item.type);
    put32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

std::optional<Descriptor> Descriptor::parse(const uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 4) return std::nullopt;
  const uint32_t count = get32(data);
  std::size_t at = 4;
  if (count > (size - at) / 12) return std::nullopt;  // each value takes at least 12 bytes
  Descriptor out;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < 12) return std::nullopt;
    DescriptorItem item;
    item.key = get32(data + at);
    item.type = get32(data + at + 4);
    const uint32_t length = get32(data + at + 8);
    at += 12;
    if (length > size - at || !read_item_data(item, data + at, length)) return std::nullopt;
    at += length;
    out.items.push_back(item);
  }
  if (at != size) return std::nullopt;
  return out;
}

namespace detail {

namespace {

struct Reader {
  Descriptor descriptor;
  std::size_t next = 0;                     // the value getKey returns next
  const DescriptorItem* current = nullptr;  // the value the getters read
  fa::DescriptorKeyID* keys = nullptr;      // the module's 0-terminated array, or null
  fa::OSErr sticky = fa::noErr;             // the most severe error of a getter
};
struct Writer {
  Descriptor descriptor;
};

// The most entries of a module's key array looked at before its terminating 0.
constexpr int kMostKeys = 4096;

}  // namespace

struct DescriptorSession::State {
  fa::PIDescriptorParameters parameters{};
  fa::ReadDescriptorProcs read{};
  fa::WriteDescriptorProcs write{};
  char** played = nullptr;                             // the played step's handle
  std::set<char**> descriptors;                        // descriptor handles alive
  std::set<char**> others;                             // text and alias handles alive
  std::map<Reader*, std::unique_ptr<Reader>> readers;  // open read tokens
  std::map<Writer*, std::unique_ptr<Writer>> writers;  // open write tokens
  bool played_disposed = false;
  bool enum_type_as_type = false;
  int32_t refused = 0;
  DescriptorSession::State* outer = nullptr;
};

namespace {

thread_local DescriptorSession::State* current = nullptr;

char** new_handle(const std::vector<uint8_t>& bytes) {
  char** handle = heap_new(int32_t(bytes.size()));
  if (handle != nullptr && !bytes.empty()) std::memcpy(*handle, bytes.data(), bytes.size());
  return handle;
}

Reader* reader_of(fa::PIReadDescriptor token) {
  if (current == nullptr) return nullptr;
  auto found = current->readers.find(reinterpret_cast<Reader*>(token));
  return found == current->readers.end() ? nullptr : found->second.get();
}
Writer* writer_of(fa::PIWriteDescriptor token) {
  if (current == nullptr) return nullptr;
  auto found = current->writers.find(reinterpret_cast<Writer*>(token));
  return found == current->writers.end() ? nullptr : found->second.get();
}

fa::OSErr refuse(Reader* reader) {
  if (current != nullptr) ++current->refused;
  if (reader != nullptr) reader->sticky = fa::paramErr;
  return fa::paramErr;
}

// The current value of a reader when it has this type; null (the call refused) otherwise.
const DescriptorItem* value_of(fa::PIReadDescriptor token, uint32_t type) {
  Reader* reader = reader_of(token);
  if (reader == nullptr || reader->current == nullptr || reader->current->type != type) {
    refuse(reader);
    return nullptr;
  }
  return reader->current;
}

// A getter that cannot answer: refused already when there was no value of its type, else
// now (no place to put it).
fa::OSErr refused(const DescriptorItem* item) {
  return item == nullptr ? fa::paramErr : refuse(nullptr);
}

// --- read suite ---
fa::PIReadDescriptor open_read(fa::PIDescriptorHandle handle, fa::DescriptorKeyID* keys) {
  if (current == nullptr || current->descriptors.count(handle) == 0) return nullptr;
  auto parsed =
      Descriptor::parse(reinterpret_cast<const uint8_t*>(*handle), std::size_t(heap_size(handle)));
  if (!parsed) return nullptr;
  auto reader = std::make_unique<Reader>();
  reader->descriptor = std::move(*parsed);
  reader->keys = keys;
  Reader* token = reader.get();
  current->readers.emplace(token, std::move(reader));
  return reinterpret_cast<fa::PIReadDescriptor>(token);
}
fa::OSErr close_read(fa::PIReadDescriptor token) {
  Reader* reader = reader_of(token);
  if (reader == nullptr) return refuse(nullptr);
  fa::OSErr sticky = reader->sticky;
  current->readers.erase(reader);
  return sticky;
}
fa::Boolean get_key(fa::PIReadDescriptor token, fa::DescriptorKeyID* key,
                    fa::DescriptorTypeID* type, int32_t* flags) {
  Reader* reader = reader_of(token);
  if (reader == nullptr) {
    refuse(nullptr);
    return 0;
  }
  if (reader->next >= reader->descriptor.items.size()) {
    reader->current = nullptr;
    return 0;
  }
  reader->current = &reader->descriptor.items[reader->next++];
  if (key != nullptr) *key = reader->current->key;
  if (type != nullptr) {
    *type = reader->current->type;
    if (*type == fa::typeEnumerated && current->enum_type_as_type)
      *type = reader->current->enum_type;
  }
  if (flags != nullptr) *flags = 0;
  // A found key is marked in the module's array, as Photoshop does.
  for (int i = 0; reader->keys != nullptr && i < kMostKeys && reader->keys[i] != 0; ++i) {
    if (reader->keys[i] == reader->current->key) {
      reader->keys[i] = fa::typeNull;
      break;
    }
  }
  return 1;
}
fa::OSErr get_integer(fa::PIReadDescriptor token, int32_t* out) {
  const DescriptorItem* item = value_of(token, fa::typeInteger);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = item->integer;
  return fa::noErr;
}
fa::OSErr get_float(fa::PIReadDescriptor token, double* out) {
  const DescriptorItem* item = value_of(token, fa::typeFloat);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = item->number;
  return fa::noErr;
}
fa::OSErr get_unit_float(fa::PIReadDescriptor token, fa::DescriptorUnitID* unit, double* out) {
  const DescriptorItem* item = value_of(token, fa::typeUnitFloat);
  if (item == nullptr || out == nullptr) return refused(item);
  if (unit != nullptr) *unit = item->unit;
  *out = item->number;
  return fa::noErr;
}
fa::OSErr get_boolean(fa::PIReadDescriptor token, fa::Boolean* out) {
  const DescriptorItem* item = value_of(token, fa::typeBoolean);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = item->boolean ? 1 : 0;
  return fa::noErr;
}
fa::OSErr get_bytes(fa::PIReadDescriptor token, uint32_t type, char*** out) {
  const DescriptorItem* item = value_of(token, type);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = new_handle(std::vector<uint8_t>(item->bytes.begin(), item->bytes.end()));
  current->others.insert(*out);
  return fa::noErr;
}
fa::OSErr get_text(fa::PIReadDescriptor token, char*** out) {
  return get_bytes(token, fa::typeText, out);
}
fa::OSErr get_alias(fa::PIReadDescriptor token, char*** out) {
  return get_bytes(token, fa::typeAlias, out);
}
fa::OSErr get_enumerated(fa::PIReadDescriptor token, fa::DescriptorEnumID* out) {
  const DescriptorItem* item = value_of(token, fa::typeEnumerated);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = item->enum_value;
  return fa::noErr;
}
fa::OSErr get_class(fa::PIReadDescriptor token, fa::DescriptorClassID* out) {
  const DescriptorItem* item = value_of(token, fa::typeClass);
  if (item == nullptr || out == nullptr || item->bytes.size() != 4) return refused(item);
  *out = get32(reinterpret_cast<const uint8_t*>(item->bytes.data()));
  return fa::noErr;
}
// References and objects are not kept by this host: refused.
fa::OSErr get_simple_reference(fa::PIReadDescriptor token, fa::PIDescriptorSimpleReference*) {
  return refuse(reader_of(token));
}
fa::OSErr get_object(fa::PIReadDescriptor token, fa::DescriptorClassID*, fa::PIDescriptorHandle*) {
  return refuse(reader_of(token));
}
fa::OSErr get_count(fa::PIReadDescriptor token, uint32_t* out) {
  const DescriptorItem* item = value_of(token, fa::typeInteger);
  if (item == nullptr || out == nullptr) return refused(item);
  *out = uint32_t(item->integer);
  return fa::noErr;
}
fa::OSErr get_string(fa::PIReadDescriptor token, uint8_t (*out)[256]) {
  const DescriptorItem* item = value_of(token, fa::typeText);
  if (item == nullptr || out == nullptr) return refused(item);
  const std::size_t length = std::min<std::size_t>(item->bytes.size(), 255);
  (*out)[0] = uint8_t(length);
  std::memcpy(&(*out)[1], item->bytes.data(), length);
  return fa::noErr;
}
fa::OSErr get_pinned_integer(fa::PIReadDescriptor token, int32_t low, int32_t high, int32_t* out) {
  int32_t value = 0;
  fa::OSErr error = get_integer(token, &value);
  if (error != fa::noErr || out == nullptr) return error;
  *out = std::clamp(value, low, std::max(low, high));
  return *out == value ? fa::OSErr(fa::noErr) : fa::coercedParamErr;
}
fa::OSErr pin(double value, const double* low, const double* high, double* out) {
  *out = value;
  if (low != nullptr && *out < *low) *out = *low;
  if (high != nullptr && *out > *high) *out = *high;
  return *out == value ? fa::OSErr(fa::noErr) : fa::coercedParamErr;
}
fa::OSErr get_pinned_float(fa::PIReadDescriptor token, const double* low, const double* high,
                           double* out) {
  double value = 0;
  fa::OSErr error = get_float(token, &value);
  if (error != fa::noErr || out == nullptr) return error;
  return pin(value, low, high, out);
}
fa::OSErr get_pinned_unit_float(fa::PIReadDescriptor token, const double* low, const double* high,
                                fa::DescriptorUnitID* unit, double* out) {
  double value = 0;
  fa::OSErr error = get_unit_float(token, unit, &value);
  if (error != fa::noErr || out == nullptr) return error;
  return pin(value, low, high, out);
}

// --- write suite ---
fa::PIWriteDescriptor open_write() {
  if (current == nullptr) return nullptr;
  auto writer = std::make_unique<Writer>();
  Writer* token = writer.get();
  current->writers.emplace(token, std::move(writer));
  return reinterpret_cast<fa::PIWriteDescriptor>(token);
}
fa::OSErr close_write(fa::PIWriteDescriptor token, fa::PIDescriptorHandle* out) {
  Writer* writer = writer_of(token);
  if (writer == nullptr) return refuse(nullptr);
  char** handle = new_handle(writer->descriptor.bytes());
  current->writers.erase(writer);
  if (out == nullptr) {
    heap_dispose(handle);
    return refuse(nullptr);
  }
  current->descriptors.insert(handle);
  *out = handle;
  return fa::noErr;
}
fa::OSErr put_item(fa::PIWriteDescriptor token, const DescriptorItem& item) {
  Writer* writer = writer_of(token);
  if (writer == nullptr) return refuse(nullptr);
  writer->descriptor.put(item);
  return fa::noErr;
}
fa::OSErr put_integer(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, int32_t value) {
  return put_item(token, Descriptor().put_integer(key, value).items[0]);
}
fa::OSErr put_float(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, const double* value) {
  if (value == nullptr) return refuse(nullptr);
  return put_item(token, Descriptor().put_float(key, *value).items[0]);
}
fa::OSErr put_unit_float(fa::PIWriteDescriptor token, fa::DescriptorKeyID key,
                         fa::DescriptorUnitID unit, const double* value) {
  if (value == nullptr) return refuse(nullptr);
  return put_item(token, Descriptor().put_unit_float(key, unit, *value).items[0]);
}
fa::OSErr put_boolean(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, fa::Boolean value) {
  return put_item(token, Descriptor().put_boolean(key, value != 0).items[0]);
}
// Text and alias handles (of this host's heap, made through newProc) are copied, so the
// module keeps its own.
fa::OSErr put_handle_bytes(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, uint32_t type,
                           char** handle) {
  if (handle == nullptr) return refuse(nullptr);
  DescriptorItem item;
  item.key = key;
  item.type = type;
  item.bytes.assign(*handle, std::size_t(heap_size(handle)));
  return put_item(token, item);
}
fa::OSErr put_text(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, char** text) {
  return put_handle_bytes(token, key, fa::typeText, text);
}
fa::OSErr put_alias(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, char** alias) {
  return put_handle_bytes(token, key, fa::typeAlias, alias);
}
fa::OSErr put_enumerated(fa::PIWriteDescriptor token, fa::DescriptorKeyID key,
                         fa::DescriptorEnumTypeID type, fa::DescriptorEnumID value) {
  return put_item(token, Descriptor().put_enumerated(key, type, value).items[0]);
}
fa::OSErr put_class(fa::PIWriteDescriptor token, fa::DescriptorKeyID key,
                    fa::DescriptorClassID type) {
  DescriptorItem item;
  item.key = key;
  item.type = fa::typeClass;
  std::vector<uint8_t> bytes;
  put32(bytes, type);
  item.bytes.assign(bytes.begin(), bytes.end());
  return put_item(token, item);
}
fa::OSErr put_simple_reference(fa::PIWriteDescriptor, fa::DescriptorKeyID,
                               const fa::PIDescriptorSimpleReference*) {
  return refuse(nullptr);
}
fa::OSErr put_object(fa::PIWriteDescriptor, fa::DescriptorKeyID, fa::DescriptorClassID,
                     fa::PIDescriptorHandle) {
  return refuse(nullptr);
}
fa::OSErr put_count(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, uint32_t value) {
  return put_item(token, Descriptor().put_integer(key, int32_t(value)).items[0]);
}
fa::OSErr put_string(fa::PIWriteDescriptor token, fa::DescriptorKeyID key, const uint8_t* text) {
  if (text == nullptr) return refuse(nullptr);
  return put_item(token,
                  Descriptor()
                      .put_text(key, std::string(reinterpret_cast<const char*>(text + 1), text[0]))
                      .items[0]);
}

}  // namespace

DescriptorSession::DescriptorSession(const Scripting& scripting) : state_(new State) {
  State& s = *state_;
  s.read = fa::ReadDescriptorProcs{fa::kCurrentReadDescriptorProcsVersion,
                                   fa::kCurrentReadDescriptorProcsCount,
                                   open_read,
                                   close_read,
                                   get_key,
                                   get_integer,
                                   get_float,
                                   get_unit_float,
                                   get_boolean,
                                   get_text,
                                   get_alias,
                                   get_enumerated,
                                   get_class,
                                   get_simple_reference,
                                   get_object,
                                   get_count,
                                   get_string,
                                   get_pinned_integer,
                                   get_pinned_float,
                                   get_pinned_unit_float};
  s.write = fa::WriteDescriptorProcs{fa::kCurrentWriteDescriptorProcsVersion,
                                     fa::kCurrentWriteDescriptorProcsCount,
                                     open_write,
                                     close_write,
                                     put_integer,
                                     put_float,
                                     put_unit_float,
                                     put_boolean,
                                     put_text,
                                     put_alias,
                                     put_enumerated,
                                     put_class,
                                     put_simple_reference,
                                     put_object,
                                     put_count,
                                     put_string,
                                     put_class,
                                     put_object};
  s.enum_type_as_type = scripting.enum_type_as_type;
  if (scripting.short_tables) {
    s.read.numReadDescriptorProcs = fa::kCurrentReadDescriptorProcsCount - 1;
    s.write.numWriteDescriptorProcs = fa::kCurrentWriteDescriptorProcsCount - 1;
  }
  s.parameters.descriptorParametersVersion = fa::kCurrentDescriptorParametersVersion;
  s.parameters.playInfo = scripting.play;
  s.parameters.recordInfo = -1;  // the module says what it records
  s.parameters.readDescriptorProcs = &s.read;
  s.parameters.writeDescriptorProcs = &s.write;
  if (scripting.descriptor_bytes || scripting.descriptor) {
    s.played = new_handle(scripting.descriptor_bytes ? *scripting.descriptor_bytes
                                                     : scripting.descriptor->bytes());
    s.descriptors.insert(s.played);
    s.parameters.descriptor = s.played;
  }
  s.outer = current;
  current = &s;
}

DescriptorSession::~DescriptorSession() {
  if (state_ != nullptr) finish();
}

fa::PIDescriptorParameters* DescriptorSession::parameters() { return &state_->parameters; }

ScriptingOutcome DescriptorSession::finish() {
  State& s = *state_;
  ScriptingOutcome out;
  out.record_info = s.parameters.recordInfo;
  out.played_disposed = s.played_disposed;
  char** left = s.parameters.descriptor;
  if (left != nullptr && s.descriptors.count(left) != 0) {
    if (left != s.played) {
      out.recorded =
          Descriptor::parse(reinterpret_cast<const uint8_t*>(*left), std::size_t(heap_size(left)));
    }
    s.descriptors.erase(left);
    heap_dispose(left);
  }
  s.parameters.descriptor = nullptr;
  // A played handle the module left where it was is the host's again; anything else still
  // alive is a leak of the module's.
  if (s.played != nullptr && s.descriptors.count(s.played) != 0) {
    s.descriptors.erase(s.played);
    heap_dispose(s.played);
  }
  out.leaked_handles = int32_t(s.descriptors.size() + s.others.size());
  out.unclosed_tokens = int32_t(s.readers.size() + s.writers.size());
  current = s.outer;
  for (char** handle : s.descriptors) heap_dispose(handle);
  for (char** handle : s.others) heap_dispose(handle);
  out.refused_calls = s.refused;
  state_.reset();
  return out;
}

bool descriptor_handle_disposed(char** handle) {
  if (current == nullptr) return false;
  if (handle == current->played) {
    current->played_disposed = true;
    current->played = nullptr;  // a handle made later may come at the same address
  }
  return current->descriptors.erase(handle) + current->others.erase(handle) != 0;
}

}  // namespace detail
}  // namespace plugin_host
