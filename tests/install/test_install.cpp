// What a user installs: `cmake --install` into a DESTDIR and the installed
// programs run from there; the Debian package's contents and dependencies;
// the manual page rendered by groff with every warning on; the bash
// completion run in bash. The option table of the program is the reference
// the manual page and the completion are checked against.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "TestSupport.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;

using testsupport::Exists;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The option texts of the updater's option table, read from its source.
std::vector<std::string> OptionTable() {
  std::string source = testsupport::ReadFile(testsupport::SourceDir() + "/src/app/Parameters.cpp");
  std::regex row("\\{\"(-{1,2}[A-Za-z]+)\", Kind::");
  std::vector<std::string> options;
  for (std::sregex_iterator it(source.begin(), source.end(), row), end; it != end; ++it)
    options.push_back((*it)[1]);
  return options;
}

// Files every install and the package must carry, relative to the prefix.
const char* const kInstalled[] = {
    "bin/updater",
    "bin/birdfile",
    "bin/update-server",
    "share/man/man1/updater.1.gz",
    "share/bash-completion/completions/updater",
    "lib/udev/rules.d/70-velmarine-updater.rules",
};

TEST(Install, DestdirInstallRunsFromThere) {
  TempDir dest;
  testsupport::RunOptions options;
  options.env["DESTDIR"] = dest.path();
  options.timeoutMs = 120000;
  RunResult r = testsupport::Run(
      UPDATER_CMAKE_COMMAND, {"--install", testsupport::BinaryDir(), "--prefix", "/usr"}, options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* file : kInstalled) EXPECT_TRUE(Exists(dest / "usr/" + file)) << file;

  r = testsupport::Run(dest / "usr/bin/updater", {"-h"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Updater (Version: 2.11.1")) << r.out;
  EXPECT_TRUE(Contains(r.err, "Application Usage:")) << r.err;
  r = testsupport::Run(dest / "usr/bin/birdfile", {"--help"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE((r.out + r.err).empty());
  r = testsupport::Run(dest / "usr/bin/update-server", {"--help"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The installed programs don't lean on the build tree.
  r = testsupport::Run("/usr/bin/readelf", {"-d", dest / "usr/bin/updater"});
  EXPECT_FALSE(Contains(r.out, testsupport::BinaryDir())) << r.out;
}

TEST(Install, DebianPackageContentsAndDependencies) {
  TempDir out;
  testsupport::RunOptions options;
  options.timeoutMs = 240000;
  RunResult r = testsupport::Run(
      UPDATER_CPACK_COMMAND,
      {"-G", "DEB", "--config", testsupport::BinaryDir() + "/CPackConfig.cmake", "-B", out.path()},
      options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = testsupport::Run("/bin/sh", {"-c", "ls " + out.path() + "/*.deb"});
  std::string deb = r.out.substr(0, r.out.find('\n'));
  ASSERT_FALSE(deb.empty()) << r.out << r.err;

  r = testsupport::Run("/usr/bin/dpkg-deb", {"-c", deb});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* file : kInstalled)
    EXPECT_TRUE(Contains(r.out, std::string(" ./usr/") + file + "\n")) << file << "\n" << r.out;
  // Everything lies under /usr, and nothing of the build machine leaks in.
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::string path = line.substr(line.rfind(' ') + 1);
    EXPECT_TRUE(path == "./" || path == "./usr/" || path.rfind("./usr/", 0) == 0) << path;
    EXPECT_FALSE(Contains(path, "/local/")) << path;
  }
  EXPECT_TRUE(Contains(r.out, "-rwxr-xr-x root/root")) << r.out;

  r = testsupport::Run("/usr/bin/dpkg-deb", {"-f", deb, "Package", "Version", "Depends"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Package: updater\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Version: 2.11.1\n")) << r.out;
  // The Debian library packages of what the programs link: each library a
  // packaged program needs comes from a package named in Depends.
  const std::string depends = r.out;
  for (const char* library : {"libusb-1.0-0", "libcurl4", "libczmq4", "libc6", "libstdc++6"})
    EXPECT_TRUE(Contains(depends, library)) << library << "\n" << depends;
  TempDir unpacked;
  ASSERT_EQ(testsupport::Run("/usr/bin/dpkg-deb", {"-x", deb, unpacked.path()}).status, 0);
  for (const char* program : {"updater", "bird", "update-server"}) {
    const std::string path = unpacked / "usr/bin/" + program;
    // Where each library is found here, for its multiarch folder.
    std::map<std::string, std::string> found;
    r = testsupport::Run("/usr/bin/ldd", {path});
    std::regex resolved("\\s(\\S+) => (\\S+)");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), resolved), end; it != end; ++it)
      found[(*it)[1]] = (*it)[2];
    r = testsupport::Run("/usr/bin/readelf", {"-d", path});
    std::regex needed("\\(NEEDED\\)[^\\[]*\\[([^\\]]+)\\]");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), needed), end; it != end; ++it) {
      std::string library = (*it)[1];
      if (library.rfind("ld-linux", 0) == 0 || !found.count(library)) continue;
      std::string folder = found[library].substr(0, found[library].rfind('/'));
      folder = folder.substr(folder.rfind('/') + 1);
      RunResult owner = testsupport::Run("/usr/bin/dpkg", {"-S", "*/" + folder + "/" + library});
      std::string package = owner.out.substr(0, owner.out.find_first_of(":,"));
      ASSERT_FALSE(package.empty()) << library << ": " << owner.err;
      std::string literal = std::regex_replace(package, std::regex("[.+]"), "\\$&");
      EXPECT_TRUE(std::regex_search(depends, std::regex("[ ,]" + literal + "( |,|\\n|$)")))
          << program << " links " << library << " of " << package << "\n"
          << depends;
    }
  }
}

TEST(Install, ManualPageRendersWithoutWarningsAndCoversEveryOption) {
  std::string page = testsupport::SourceDir() + "/docs/updater.1";
  RunResult r = testsupport::Run("/usr/bin/groff", {"-ww", "-z", "-b", "-man", "-Tutf8", page});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "groff warnings:\n" << r.err;

  r = testsupport::Run("/usr/bin/groff",
                       {"-man", "-rLL=300n", "-rHY=0", "-Tascii", "-P", "-cbou", page});
  ASSERT_EQ(r.status, 0) << r.err;
  // One space for every run of blanks and line ends, so that a phrase is
  // found wherever the lines were broken.
  const std::string text = std::regex_replace(r.out, std::regex("[ \\n]+"), " ");
  for (const std::string& option : OptionTable()) EXPECT_TRUE(Contains(text, option)) << option;
  for (const char* part :
       {"EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES", "HOME", ".settings", "LATEST_DOWNLOAD",
        "LAST_DOWNLOAD_DATE", "LATEST_TRANSFER", "LAST_TRANSFER_DATE", "70-velmarine-updater.rules",
        "uaccess", "plugdev", "1fc9", "erases the whole flash"})
    EXPECT_TRUE(Contains(text, part)) << part;
}

// Runs the completion function for the words (the last one being completed)
// in bash, with HOME given, and returns the candidates one per line.
std::set<std::string> Complete(const std::vector<std::string>& words, const std::string& home) {
  std::string script =
      "source '" + testsupport::SourceDir() + "/packaging/bash-completion/updater'\nCOMP_WORDS=(";
  for (const std::string& w : words) script += "'" + w + "' ";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
            "\n_updater\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  testsupport::RunOptions options;
  options.env["HOME"] = home;
  RunResult r = testsupport::Run("/bin/bash", {"--norc", "--noprofile", "-c", script}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::set<std::string> found;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) found.insert(line);
  return found;
}

TEST(Install, BashCompletion) {
  TempDir home;
  std::string store = home / ".corvane/updater";
  ASSERT_EQ(std::system(("mkdir -p '" + store + "/40F5849A' '" + store + "/D272031D' '" + store +
                         "/notaserial' '" + home.path() + "/other/updater/0000ABCD'")
                            .c_str()),
            0);
  testsupport::WriteFile(store + "/40F5849A/101.bird", "x");
  testsupport::WriteFile(store + "/40F5849A/99.bird", "x");
  testsupport::WriteFile(store + "/40F5849A/.settings", "x");
  testsupport::WriteFile(store + "/1234ABCD", "a stray file, no device");

  std::set<std::string> all = Complete({"updater", ""}, home.path());
  for (const std::string& option : OptionTable()) EXPECT_TRUE(all.count(option)) << option;
  EXPECT_EQ(Complete({"updater", "-O"}, home.path()), std::set<std::string>({"-OVERRIDE"}));
  EXPECT_EQ(Complete({"updater", "-G", "-t", ""}, home.path()),
            std::set<std::string>({"USB", "TCPIP", "TCP", "RECOVER"}));
  EXPECT_EQ(Complete({"updater", "-t", "R"}, home.path()), std::set<std::string>({"RECOVER"}));
  EXPECT_EQ(Complete({"updater", "-U", "-d", ""}, home.path()),
            std::set<std::string>({"40F5849A", "D272031D"}));
  EXPECT_EQ(Complete({"updater", "-D", "-r", "d2"}, home.path()),
            std::set<std::string>({"D272031D"}));
  EXPECT_EQ(Complete({"updater", "-d", "40F5849A", "-b", ""}, home.path()),
            std::set<std::string>({"101", "99"}));
  // A store named with -i is the one searched.
  EXPECT_EQ(Complete({"updater", "-i", home / "other", "-d", ""}, home.path()),
            std::set<std::string>({"0000ABCD"}));
  EXPECT_EQ(Complete({"updater", "-d", ""}, home / "nowhere"), std::set<std::string>());
}

}  // namespace
