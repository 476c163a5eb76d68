#pragma once

#include <string>

// Unpacks every entry of the zip archive at zip_path into dest_dir, stopping at the first entry
// that fails. True when every entry was written.
bool extract_zip(const std::string& zip_path, const std::string& dest_dir);
