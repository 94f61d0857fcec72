// Output names of a batch (--name patterns) and the checks on them, by file identity rather
// than by spelling, so that symlinks, "..", "./" and (on Windows) letter case are seen through.
#include "command/batch_names.h"

#include <map>
#include <tuple>

#include "plugin_host/arguments.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace batch_names {

std::string base_name(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::optional<std::string> expand(const std::string& pattern, const std::string& input,
                                  std::size_t position, std::size_t count,
                                  const std::string& format, std::string* why) {
  const std::string name = base_name(input);
  const std::size_t dot = name.find_last_of('.');
  const bool has_extension = dot != std::string::npos && dot > 0;
  const std::string stem = has_extension ? name.substr(0, dot) : name;
  const std::string extension = !format.empty() ? format
                                : has_extension ? name.substr(dot + 1)
                                                : std::string();
  std::string number = std::to_string(position);
  const std::size_t width = std::to_string(count).size();
  if (number.size() < width) number.insert(0, width - number.size(), '0');

  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if ((c == '{' || c == '}') && i + 1 < pattern.size() && pattern[i + 1] == c) {
      out += c;
      ++i;
      continue;
    }
    if (c == '}') {
      *why = "--name " + pattern + ": a } without its {; write }} for a brace";
      return std::nullopt;
    }
    if (c != '{') {
      out += c;
      continue;
    }
    const std::size_t end = pattern.find('}', i);
    if (end == std::string::npos) {
      *why = "--name " + pattern + ": a { without its }; write {{ for a brace";
      return std::nullopt;
    }
    const std::string field = pattern.substr(i + 1, end - i - 1);
    if (field == "stem") {
      out += stem;
    } else if (field == "ext") {
      out += extension;
    } else if (field == "n") {
      out += number;
    } else {
      *why = "--name " + pattern + ": {" + field + "} is not a field; the fields are {stem}, " +
             "{ext} and {n}";
      return std::nullopt;
    }
    i = end;
  }
  if (out.find_first_of("/\\") != std::string::npos) {
    *why = "--name " + pattern + ": gives " + out +
           ", a path; it names a file, and --output-dir the folder";
    return std::nullopt;
  }
  if (out.empty() || out == "." || out == "..") {
    *why = "--name " + pattern + ": gives no file name for " + input;
    return std::nullopt;
  }
  return out;
}

std::optional<FileId> file_id(const std::string& path) {
#ifdef _WIN32
  std::wstring wide;
  if (!plugin_host::to_wide(path.empty() ? std::string(".") : path, &wide)) return std::nullopt;
  HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                uint64_t(info.nFileIndexHigh) << 32 | uint64_t(info.nFileIndexLow)};
#else
  struct stat info {};
  if (stat(path.empty() ? "." : path.c_str(), &info) != 0) return std::nullopt;
  return FileId{uint64_t(info.st_dev), uint64_t(info.st_ino)};
#endif
}

namespace {

// What an output will be: the existing file it replaces, or a name in a folder. Two outputs are
// the same file exactly when their places are equal (a name not yet there cannot be reached by
// two different names, except by letter case where the system ignores it).
struct Place {
  bool exists;
  FileId id;         // the file, or the folder the name goes into
  std::string name;  // in the folder; empty for an existing file
  std::string path;  // as written when the folder cannot be reached
  bool operator<(const Place& other) const {
    return std::tie(exists, id.volume, id.index, name, path) <
           std::tie(other.exists, other.id.volume, other.id.index, other.name, other.path);
  }
};

Place place_of(const std::string& path) {
  if (std::optional<FileId> id = file_id(path)) return Place{true, *id, "", ""};
  std::string name = base_name(path);
#ifdef _WIN32
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
#endif
  if (std::optional<FileId> folder = file_id(folder_of(path)))
    return Place{false, *folder, name, ""};
  return Place{false, FileId{}, name, path};
}

}  // namespace

std::vector<std::string> refusals(const std::vector<Job>& jobs, bool in_place,
                                  const std::vector<std::string>& kept) {
  std::vector<std::string> lines;
  // Each input by identity, so a picture named twice is seen whatever the spelling.
  std::map<std::tuple<uint64_t, uint64_t>, std::size_t> inputs;
  std::vector<std::optional<FileId>> input_ids(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    input_ids[i] = file_id(jobs[i].input);
    if (!input_ids[i]) continue;  // reading it fails later with its own reason
    auto [seen, fresh] =
        inputs.emplace(std::make_tuple(input_ids[i]->volume, input_ids[i]->index), i);
    if (!fresh)
      lines.push_back(jobs[seen->second].input + " and " + jobs[i].input +
                      " are the same file, given twice");
  }
  std::map<std::tuple<uint64_t, uint64_t>, std::string> kept_ids;
  for (const std::string& path : kept)
    if (std::optional<FileId> id = file_id(path))
      kept_ids.emplace(std::make_tuple(id->volume, id->index), path);

  std::map<Place, std::size_t> outputs;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    const Place place = place_of(job.output);
    auto [first, fresh] = outputs.emplace(place, i);
    const bool same_input =
        input_ids[first->second] && input_ids[i] && *input_ids[first->second] == *input_ids[i];
    if (!fresh && !same_input)
      lines.push_back(jobs[first->second].input + " and " + job.input +
                      " would both be written as " + job.output +
                      "; give --name (for example {stem}-{n}.{ext}) to tell them apart");
    if (!place.exists) continue;
    const auto key = std::make_tuple(place.id.volume, place.id.index);
    if (auto k = kept_ids.find(key); k != kept_ids.end()) {
      lines.push_back(job.output + " (the output of " + job.input + ") would replace " + k->second +
                      ", which this run reads");
      continue;
    }
    auto input = inputs.find(key);
    if (input == inputs.end()) continue;
    const Job& replaced = jobs[input->second];
    if (input->second != i && input_ids[i] && !(*input_ids[i] == place.id)) {
      lines.push_back(job.output + " (the output of " + job.input + ") would replace the input " +
                      replaced.input + ", which the batch filters too");
    } else if (!in_place) {
      lines.push_back(job.output + " would replace its input " + job.input +
                      "; give --in-place to replace the originals, or --name or another "
                      "--output-dir to keep them");
    }
  }
  return lines;
}

}  // namespace batch_names
