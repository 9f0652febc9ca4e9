// Order of a build list for display: newest version first.
#include "CLI_Display.h"

std::vector<std::pair<std::string, std::string>> _sorted_builds(
    const std::map<std::string, std::string>& builds) {
  return {builds.begin(), builds.end()};
}
