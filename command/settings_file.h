// The settings of the last run, kept between runs of the zorbel command as a host keeps a
// filter's parameters: the module's 20 stored bytes in a small checked file in the user's
// configuration folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace settings_file {

// $ZORBEL_CONFIG_DIR, else the platform's per-user configuration folder, + the file name.
std::string default_path();

// The stored bytes; nothing when the file is missing, with *notice set when it exists but is
// damaged (one line naming the file).
std::optional<std::vector<uint8_t>> load(const std::string& path, std::string* notice);

// Stores the bytes (creating the folder); false with *error on failure.
bool save(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace settings_file
