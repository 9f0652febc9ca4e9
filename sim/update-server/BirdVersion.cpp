// Reads the version text from a BIRD file's identity block with the
// firmware layer's reader.
#include "BirdVersion.h"

#include <stdexcept>

#include "BirdFile.h"

bool ReadBirdVersion(const std::string& path, std::string& version) {
  if (!BirdFile::VerifyFile(path.c_str())) return false;
  try {
    BirdFile file(path.c_str());
    version = file.GetVersion();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
