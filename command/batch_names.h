// How a batch of the zorbel command names its outputs, and the checks made before anything is
// written: no two inputs write the same output, and no output replaces an input unless the
// user asked for that (--in-place), whatever path names the files (symlinks, "..").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace batch_names {

struct Job {
  std::string input, output;
};

// The name --name's pattern gives the input at `position` (1-based) of a batch of `count`:
// {stem} is the input's file name without its extension, {ext} its extension (without the
// dot), or `format` when one is given, {n} the position, zero-padded to the width of `count`;
// {{ and }} stand for braces. Nothing, with the reason in *why, for an unknown field, a lone
// brace, an empty result or one that names a folder (a slash).
std::optional<std::string> expand(const std::string& pattern, const std::string& input,
                                  std::size_t position, std::size_t count,
                                  const std::string& format, std::string* why);

// The file name of a path, without its folder.
std::string base_name(const std::string& path);
// The folder part of a path ("" for a bare name), with its last separator.
std::string folder_of(const std::string& path);

// Which file a path names, following symlinks: the device and inode on Linux, the volume serial
// number and file index on Windows. Nothing when there is no such file.
struct FileId {
  uint64_t volume = 0, index = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index == other.index;
  }
};
std::optional<FileId> file_id(const std::string& path);

// The lines refusing a batch, one for each pair of inputs whose outputs are the same file, each
// input named twice, each output that would replace an input (allowed with `in_place` for the
// job's own input, never for another job's input, which would then be read filtered), and each
// output that would replace one of the `kept` files (the selection mask, say). Empty when the
// batch may run.
std::vector<std::string> refusals(const std::vector<Job>& jobs, bool in_place,
                                  const std::vector<std::string>& kept);

}  // namespace batch_names
