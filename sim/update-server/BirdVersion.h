// Reads the version text from a BIRD file's identity block.
#pragma once
#include <string>

// False when the file is not a loadable BIRD file.
bool ReadBirdVersion(const std::string& path, std::string& version);
