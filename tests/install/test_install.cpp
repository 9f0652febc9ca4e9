// What a user installs: `cmake --install` into a DESTDIR and the installed
// programs run from there, hardened, each with its manual page; the Debian
// package's contents, dependencies and maintainer scripts, checked by
// lintian; every manual page through mandoc and groff with every warning on;
// the shell scripts through shellcheck; the bash completion run in bash as
// bash splits the line. The option table of the program is the reference the
// manual page and the completion are checked against. A check whose tool is
// missing (lintian, mandoc, shellcheck) is skipped and says so.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
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

// The path of a tool found on PATH, or "" when it is not installed.
std::string Tool(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// The names in a directory (no dot files), sorted.
std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A value of this build tree's CMake cache ("" when it is not set).
std::string CacheValue(const std::string& name) {
  std::string cache = testsupport::ReadFile(testsupport::BinaryDir() + "/CMakeCache.txt");
  std::smatch m;
  if (std::regex_search(cache, m, std::regex("\\n" + name + ":[A-Z]+=([^\\n]*)"))) return m[1];
  return "";
}

// Sanitizer builds are for finding faults, not for shipping: the package is
// judged as the release build makes it.
bool SanitizedBuild() { return !CacheValue("SANITIZE").empty(); }

// What a program lacks of the hardening every program is built with: PIE,
// read-only relocations bound at start, the stack protector and, when the
// build fortifies, the checked libc calls.
std::vector<std::string> MissingHardening(const std::string& program, bool fortified) {
  std::vector<std::string> missing;
  auto readelf = [&](std::vector<std::string> args) {
    args.push_back(program);
    return testsupport::Run("/usr/bin/readelf", args).out;
  };
  if (!Contains(readelf({"-h"}), "DYN (")) missing.push_back("PIE");
  if (!Contains(readelf({"-lW"}), "GNU_RELRO")) missing.push_back("RELRO");
  std::string dynamic = readelf({"-d"});
  if (!Contains(dynamic, "BIND_NOW") && !std::regex_search(dynamic, std::regex("FLAGS_1.* NOW")))
    missing.push_back("BIND_NOW");
  std::string symbols = readelf({"--dyn-syms", "-W"});
  if (!Contains(symbols, "__stack_chk_fail")) missing.push_back("stack protector");
  if (fortified && !std::regex_search(symbols, std::regex("__[a-z]+_chk@")))
    missing.push_back("_FORTIFY_SOURCE");
  return missing;
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
    "bin/updater-fleet",
    "bin/birdfile",
    "bin/update-server",
    "share/man/man1/updater.1.gz",
    "share/man/man1/updater-fleet.1.gz",
    "share/man/man1/birdfile.1.gz",
    "share/man/man1/update-server.1.gz",
    "share/bash-completion/completions/updater",
    "share/bash-completion/completions/updater-fleet",
    "lib/udev/rules.d/70-velmarine-updater.rules",
    "share/doc/updater/copyright",
    "share/doc/updater/changelog.gz",
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

  // Every installed program is hardened and has its manual page.
  const bool fortified = !SanitizedBuild() && CacheValue("CMAKE_BUILD_TYPE") != "Debug";
  for (const std::string& program : List(dest / "usr/bin")) {
    std::vector<std::string> missing = MissingHardening(dest / "usr/bin/" + program, fortified);
    EXPECT_TRUE(missing.empty()) << program << " lacks " << ::testing::PrintToString(missing);
    EXPECT_TRUE(Exists(dest / "usr/share/man/man1/" + program + ".1.gz")) << program;
  }
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
  for (const std::string& program : List(unpacked / "usr/bin")) {
    const std::string path = unpacked / "usr/bin/" + program;
    // The compilers' .comment section is of no use at run time.
    r = testsupport::Run("/usr/bin/readelf", {"-SW", path});
    EXPECT_FALSE(Contains(r.out, " .comment ")) << program;
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
  // The maintainer scripts that apply the udev rules at install and removal.
  r = testsupport::Run("/usr/bin/dpkg-deb", {"-I", deb});
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\d+ bytes, +\\d+ lines +\\* +postinst")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\d+ bytes, +\\d+ lines +\\* +postrm")))
      << r.out;

  if (SanitizedBuild()) GTEST_SKIP() << "lintian judges the release build's package only";
  if (Tool("lintian").empty()) GTEST_SKIP() << "lintian is not installed: the package is not linted";
  options.timeoutMs = 280000;
  r = testsupport::Run(testsupport::SourceDir() + "/packaging/lint-package.sh", {deb}, options);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Every page of docs/ (one per installed program): clean under mandoc's lint
// and groff's warnings, a date .TH can parse, and a SEE ALSO that names only
// pages that exist.
TEST(Install, ManualPagesAreCleanAndReferToPagesThatExist) {
  const std::string docs = testsupport::SourceDir() + "/docs";
  const std::string mandoc = Tool("mandoc");
  std::vector<std::string> pages;
  for (const std::string& name : List(docs))
    if (std::regex_match(name, std::regex("[a-z-]+\\.[1-8]"))) pages.push_back(name);
  ASSERT_GE(pages.size(), 3u);
  for (const std::string& name : pages) {
    const std::string page = docs + "/" + name;
    RunResult r = testsupport::Run("/usr/bin/groff", {"-ww", "-z", "-b", "-man", "-Tutf8", page});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.err, "") << name << ": groff warnings:\n" << r.err;
    if (!mandoc.empty()) {
      r = testsupport::Run(mandoc, {"-Tlint", "-Wall", page});
      EXPECT_EQ(r.out + r.err, "") << name << ": mandoc -Tlint:\n" << r.out << r.err;
    }
    const std::string source = testsupport::ReadFile(page);
    EXPECT_TRUE(std::regex_search(source, std::regex("^\\.TH \\S+ [1-8] \\d{4}-\\d\\d-\\d\\d ")))
        << name << ": .TH needs an ISO date";
    std::string seeAlso = source.substr(std::min(source.find(".SH SEE ALSO"), source.size()));
    std::regex reference("\\.BR ([a-z\\\\-]+) \\(([1-8])\\)");
    for (std::sregex_iterator it(seeAlso.begin(), seeAlso.end(), reference), end; it != end;
         ++it) {
      std::string target = std::regex_replace((*it)[1].str(), std::regex("\\\\-"), "-") + "." +
                           (*it)[2].str();
      // Ours, or a page of the udev package that the package recommends.
      EXPECT_TRUE(Exists(docs + "/" + target) || target == "udev.7") << name << " names " << target;
    }
  }
  if (mandoc.empty()) GTEST_SKIP() << "mandoc is not installed: the pages were not linted";
}

TEST(Install, UpdaterManualPageCoversEveryOption) {
  std::string page = testsupport::SourceDir() + "/docs/updater.1";
  RunResult r = testsupport::Run("/usr/bin/groff",
                                 {"-man", "-rLL=300n", "-rHY=0", "-Tascii", "-P", "-cbou", page});
  ASSERT_EQ(r.status, 0) << r.err;
  // One space for every run of blanks and line ends, so that a phrase is
  // found wherever the lines were broken.
  const std::string text = std::regex_replace(r.out, std::regex("[ \\n]+"), " ");
  for (const std::string& option : OptionTable()) EXPECT_TRUE(Contains(text, option)) << option;
  for (const char* part :
       {"EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES", "HOME", ".settings", "LATEST_DOWNLOAD",
        "LAST_DOWNLOAD_DATE", "LATEST_TRANSFER", "LAST_TRANSFER_DATE", "70-velmarine-updater.rules",
        "uaccess", "plugdev", "1fc9", "erases the whole flash", "The usage is fixed text",
        "does not list", "dialout", "USB ACCESS"})
    EXPECT_TRUE(Contains(text, part)) << part;
}

// Runs the completion for a command line in bash, with HOME and the working
// directory given, and returns the candidates. The line is cut into
// COMP_WORDS as bash cuts it: at blanks, and around every "=" (bash's
// COMP_WORDBREAKS), so "-d=4" is "-d", "=", "4"; a line that ends in a blank
// completes an empty word.
std::set<std::string> Complete(const std::string& line, const std::string& home,
                               const std::string& cwd = "") {
  std::vector<std::string> words;
  std::istringstream split(line);
  for (std::string word; split >> word;) {
    size_t eq;
    while ((eq = word.find('=')) != std::string::npos) {
      if (eq > 0) words.push_back(word.substr(0, eq));
      words.push_back("=");
      word = word.substr(eq + 1);
    }
    if (!word.empty()) words.push_back(word);
  }
  if (line.back() == ' ') words.push_back("");
  std::string script =
      "source '" + testsupport::SourceDir() + "/packaging/bash-completion/updater'\nCOMP_WORDS=(";
  for (const std::string& w : words) script += "'" + w + "' ";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
            "\n_updater\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  testsupport::RunOptions options;
  options.env["HOME"] = home;
  options.cwd = cwd.empty() ? home : cwd;
  RunResult r = testsupport::Run("/bin/bash", {"--norc", "--noprofile", "-c", script}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << line;
  std::set<std::string> found;
  std::istringstream lines(r.out);
  for (std::string l; std::getline(lines, l);)
    if (!l.empty()) found.insert(l);
  return found;
}

TEST(Install, BashCompletion) {
  TempDir home;
  std::string store = home / ".corvane/updater";
  ASSERT_EQ(std::system(("mkdir -p '" + store + "/40F5849A' '" + store + "/D272031D' '" + store +
                         "/notaserial' '" + home.path() + "/other/updater/0000ABCD' '" +
                         home.path() + "/files'")
                            .c_str()),
            0);
  testsupport::WriteFile(store + "/40F5849A/101.bird", "x");
  testsupport::WriteFile(store + "/40F5849A/99.bird", "x");
  testsupport::WriteFile(store + "/40F5849A/$(touch pwned).bird", "x");
  testsupport::WriteFile(store + "/40F5849A/.settings", "x");
  testsupport::WriteFile(store + "/1234ABCD", "a stray file, no device");
  testsupport::WriteFile(home / "files/[x].bird", "x");
  testsupport::WriteFile(home / "files/x.bird", "x");
  const std::string& h = home.path();
  using Set = std::set<std::string>;

  // Every option, but not -Y, which the updater always refuses.
  std::set<std::string> all = Complete("updater ", h);
  for (const std::string& option : OptionTable())
    EXPECT_EQ(all.count(option), option == "-Y" ? 0u : 1u) << option;
  struct Case {
    std::string line;
    Set expected;
  } cases[] = {
      {"updater -O", {"-OVERRIDE"}},
      {"updater -G -t ", {"USB", "TCPIP", "TCP", "RECOVER"}},
      {"updater -t R", {"RECOVER"}},
      {"updater -t=R", {"RECOVER"}},
      {"updater -U -d ", {"40F5849A", "D272031D"}},
      {"updater -U -d=", {"40F5849A", "D272031D"}},
      {"updater -d=4", {"40F5849A"}},
      {"updater -D -r d2", {"D272031D"}},
      {"updater -d 40F5849A -b ", {"101", "99"}},
      {"updater -d=40F5849A -b ", {"101", "99"}},
      {"updater -d 0x40f5849a -b 1", {"101"}},
      // The store named with -i is the one searched.
      {"updater -i " + h + "/other -d ", {"0000ABCD"}},
      {"updater -i=" + h + "/other -d ", {"0000ABCD"}},
      {"updater -o 1152", {"115200"}},
      {"updater -D=", {}},
      {"updater -u ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Complete(c.line, h), c.expected) << c.line;
  EXPECT_EQ(Complete("updater -d ", home / "nowhere", h), Set());
  EXPECT_FALSE(Exists(home / "pwned")) << "a file name was run as a command";

  // A file name is a candidate as it is, not a pattern.
  EXPECT_EQ(Complete("updater -f [", h, home / "files"), Set({"[x].bird"}));
  // Serial ports, never the virtual consoles /dev/ttyN.
  Set ports = Complete("updater -s ", h);
  EXPECT_EQ(ports.count("USB"), 1u);
  for (const std::string& port : ports)
    EXPECT_TRUE(port == "USB" || std::regex_match(port, std::regex("/dev/tty(USB|ACM|S)\\d+")))
        << port;
}

// The shell scripts of the package, the completions included (any program's).
TEST(Install, ShellScriptsPassShellcheck) {
  const std::string shellcheck = Tool("shellcheck");
  if (shellcheck.empty()) GTEST_SKIP() << "shellcheck is not installed: no script was checked";
  const std::string packaging = testsupport::SourceDir() + "/packaging";
  std::vector<std::string> scripts = {packaging + "/lint-package.sh",
                                      packaging + "/debian/postinst",
                                      packaging + "/debian/postrm"};
  for (const std::string& name : List(packaging + "/bash-completion"))
    scripts.push_back(packaging + "/bash-completion/" + name);
  for (const std::string& script : scripts) {
    // A completion file has no #! line: it is read by bash.
    std::vector<std::string> args = {"--severity=style", script};
    if (Contains(script, "/bash-completion/")) args.insert(args.begin(), "--shell=bash");
    RunResult r = testsupport::Run(shellcheck, args);
    EXPECT_EQ(r.status, 0) << script << "\n" << r.out << r.err;
  }
}

// After an install or a removal the udev rules are reloaded and applied to
// the maker's devices already plugged in; where udev does not run (a chroot,
// an image being built) nothing is asked of it.
TEST(Install, MaintainerScriptsApplyTheUdevRules) {
  TempDir dir;
  const std::string calls = dir / "calls";
  testsupport::WriteFile(dir / "udevadm",
                         "#!/bin/sh\necho \"$*\" >> '" + calls +
                             "'\n[ \"$*\" != 'control --ping' ] || [ -e '" + dir.path() +
                             "/running' ]\n");
  ASSERT_EQ(chmod((dir / "udevadm").c_str(), 0755), 0);
  testsupport::RunOptions options;
  options.env["PATH"] = dir.path() + ":/usr/bin:/bin";
  const std::string debian = testsupport::SourceDir() + "/packaging/debian";
  const std::string applied =
      "control --ping\ncontrol --reload-rules\n"
      "trigger --subsystem-match=usb --attr-match=idVendor=2b8e\n"
      "trigger --subsystem-match=usb --attr-match=idVendor=1fc9 --attr-match=idProduct=0130\n"
      "trigger --subsystem-match=hidraw\ntrigger --sysname-match=velmarine.*\n";
  struct Case {
    const char* script;
    const char* argument;
    bool running;
    std::string expected;
  } cases[] = {
      {"postinst", "configure", true, applied},
      {"postrm", "remove", true, applied},
      {"postinst", "configure", false, "control --ping\n"},
      {"postrm", "upgrade", true, ""},
      {"postrm", "purge", true, ""},
  };
  for (const Case& c : cases) {
    unlink(calls.c_str());
    unlink((dir / "running").c_str());
    if (c.running) testsupport::WriteFile(dir / "running", "");
    RunResult r = testsupport::Run("/bin/sh", {debian + "/" + c.script, c.argument}, options);
    EXPECT_EQ(r.status, 0) << c.script << " " << c.argument << r.err;
    EXPECT_EQ(Exists(calls) ? testsupport::ReadFile(calls) : "", c.expected)
        << c.script << " " << c.argument;
  }
}

}  // namespace
