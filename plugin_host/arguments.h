// The command line and file names as UTF-8 on every platform. On Windows the arguments are
// taken from the wide command line and files are opened by their wide names, so names in any
// script (accents, CJK) work whatever the system's code page; elsewhere argv and fopen are
// used as they are.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace plugin_host {

// The program's arguments, argv[0] first, each as UTF-8. Windows: from GetCommandLineW split
// by CommandLineToArgvW (argv is used when that fails); elsewhere argv[0..argc) as given.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// fopen for a UTF-8 name. Windows: _wfopen; a name that is not valid UTF-8 opens nothing
// (errno EINVAL).
FILE* open_file(const std::string& utf8_path, const char* mode);

// Whether a UTF-8 path names an existing file (not a folder).
bool file_exists(const std::string& utf8_path);

#ifndef _WIN32
// Puts a complete temporary file in `path`'s place so that a power loss leaves either the old
// file or the new one, whole: the temporary's data are flushed to disk (fsync) before the
// rename and the folder's entry after it. False, with the reason, when the data cannot be
// flushed (the temporary is then left for the caller to remove) or the rename fails; a folder
// whose file system cannot be flushed (EINVAL, ENOTSUP) is taken as flushed.
bool replace_durably(const std::string& temporary, const std::string& path, std::string* why);
#endif

#ifdef _WIN32
// UTF-8 to UTF-16 and back. to_wide is false for text that is not valid UTF-8; to_utf8
// replaces an unpaired surrogate with U+FFFD.
bool to_wide(const std::string& utf8, std::wstring* wide);
std::string to_utf8(const std::wstring& wide);
#endif

}  // namespace plugin_host
