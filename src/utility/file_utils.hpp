// Joining paths and reading whole files.
#pragma once

#include "kova_optional.hpp"

#include <string>
#include <vector>

namespace kova::bench::utility {

// The file name alone when the directory is absent or empty; otherwise the
// directory and the name with one '/' between them (a leading '/' of the name
// does not make it absolute).
std::string append_file_path(const kova::optional<std::string> &directory, const std::string &file_name);

// The whole content of a regular file. Throws KOVA_ERROR_NOT_FOUND "Unable to open file:
// "<path>"" or "Failed to read content of file: "<path>"".
std::string load_file_to_string(const std::string &path);
std::vector<char> load_file_to_vector(const std::string &path);

} // namespace kova::bench::utility
