#pragma once

#include <string>

// Makes updater.log in app_dir (or the current directory when app_dir is empty) the destination
// of every log line, emptying it first. Raises when the file cannot be opened.
void init_logging(const std::string& app_dir);
