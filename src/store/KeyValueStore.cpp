// Key-value information files: line parsing, value conversions, time stamps,
// and the crash-safe file replacement used for every file the store writes.
#include "KeyValueStore.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "Log.h"

namespace {

// Local time in the 24-character ctime form, without its line feed.
std::string Now() {
  time_t t = time(nullptr);
  char buf[64];
  if (!ctime_r(&t, buf)) return std::string();
  size_t n = strnlen(buf, sizeof buf);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) --n;
  return std::string(buf, n);
}

bool IsSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::atomic<void (*)(const char*)> sBeforeRename{nullptr};

// Permission bits for a new file: what fopen would give it under the umask.
mode_t NewFileMode() {
  mode_t mask = 022;
  FILE* status = fopen("/proc/self/status", "r");
  if (status) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      unsigned value;
      if (sscanf(line, "Umask: %o", &value) == 1) {
        mask = mode_t(value);
        break;
      }
    }
    fclose(status);
  }
  return 0666 & ~mask;
}

// A write past the process's file-size limit raises SIGXFSZ, whose default
// action ends the process and can leave the store half-updated. With the
// signal ignored the write fails with EFBIG instead and is reported as a
// failed write. A handler the program installed itself is left alone.
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current;
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
        !(current.sa_flags & SA_SIGINFO))
      signal(SIGXFSZ, SIG_IGN);
  });
}

}  // namespace

// ---------------------------------------------------------------------------
// AtomicFileWriter

AtomicFileWriter::AtomicFileWriter(const std::string& path) : target_(path) {
  IgnoreFileSizeSignal();
  struct stat st;
  mode_t mode;
  // No file has an empty name (opening one fails as a missing file would).
  if (path.empty()) {
    openError_ = ENOENT;
    return;
  }
  // Write through a symbolic link to the file it names, as opening it would.
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (real) {
      target_ = real;
      free(real);
    }
  }
  if (stat(target_.c_str(), &st) == 0) {
    // An existing file we may not write, or a directory, can't be replaced.
    if (S_ISDIR(st.st_mode)) {
      openError_ = EISDIR;
      return;
    }
    if (access(target_.c_str(), W_OK) != 0) {
      openError_ = errno;
      return;
    }
    mode = st.st_mode & 07777;
  } else {
    mode = NewFileMode();
  }
  size_t slash = target_.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  // Hidden, so that a temporary file left by a crash is never listed as a build.
  std::string tmpl = dir + "." + base + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    openError_ = errno;
    return;
  }
  temp_ = name.data();
  bool modeOk = fchmod(fd, mode) == 0;
  int modeErr = errno;
  file_ = modeOk ? vFile_Open(temp_.c_str(), vFileModeWrite) : nullptr;
  if (!file_) openError_ = modeOk ? (errno ? errno : EIO) : modeErr;
  close(fd);
  if (!file_) {
    unlink(temp_.c_str());
    temp_.clear();
  }
}

AtomicFileWriter::~AtomicFileWriter() {
  if (file_) vFile_Close(&file_);
  if (!done_ && !temp_.empty()) unlink(temp_.c_str());
}

void AtomicFileWriter::SetBeforeRenameHook(void (*hook)(const char*)) { sBeforeRename = hook; }

vErr AtomicFileWriter::Commit() {
  if (!file_) return vErrNotFound;
  FILE* f = file_->handle;
  vErr result = failure_;
  if (result == vErrNone && (fflush(f) != 0 || ferror(f))) result = vErrWrite;
  if (result == vErrNone && fsync(fileno(f)) != 0) result = vErrIO;
  int closed = fclose(f);
  file_->handle = nullptr;  // closed here, so the record is only released
  vFile_Close(&file_);
  if (result == vErrNone && closed != 0) result = vErrWrite;
  if (result != vErrNone) return result;

  if (void (*hook)(const char*) = sBeforeRename.load()) hook(temp_.c_str());
  if (rename(temp_.c_str(), target_.c_str()) != 0) return vErrIO;
  done_ = true;
  // Make the rename itself durable.
  size_t slash = target_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return vErrNone;
}

// ---------------------------------------------------------------------------
// KeyValueStore

KeyValueStore::KeyValueStore(const char* p) {
  if (p) Load(p);
}

bool KeyValueStore::ParseLine(const char* line, size_t length, std::string* key,
                              std::string* value) {
  if (!line || length < 3 || line[0] == '#') return false;
  size_t b = 0;
  while (b < length && IsSpace(line[b])) ++b;
  const char* eq = static_cast<const char*>(memchr(line + b, '=', length - b));
  size_t keyEnd = eq ? size_t(eq - line) : length;
  // Trimming stops at the start of the key; a key of only blanks is empty.
  while (keyEnd > b && IsSpace(line[keyEnd - 1])) --keyEnd;
  key->assign(line + b, keyEnd - b);
  value->clear();
  if (eq) {
    size_t v = size_t(eq - line) + 1, e = length;
    while (v < e && IsSpace(line[v])) ++v;
    while (e > v && IsSpace(line[e - 1])) --e;
    value->assign(line + v, e - v);
  }
  return true;
}

void KeyValueStore::ParseInto(const char* line, size_t length) {
  std::string key, value;
  if (ParseLine(line, length, &key, &value)) entries[key] = value;
}

void KeyValueStore::Parse(const char* text, size_t length) {
  if (!text) return;
  size_t pos = 0;
  while (pos < length) {
    // One buffer's worth, as a line read stops at the line feed or a full buffer.
    size_t limit = std::min(length - pos, LINE_BUFFER_SIZE - 1);
    const char* nl = static_cast<const char*>(memchr(text + pos, '\n', limit));
    size_t n = nl ? size_t(nl - (text + pos)) + 1 : limit;
    // A line read into a C string ends at its first NUL byte.
    size_t len = strnlen(text + pos, n);
    if (len == LINE_BUFFER_SIZE - 1 && text[pos + len - 1] != '\n') return;  // over-long line
    ParseInto(text + pos, len);
    pos += n;
  }
}

vErr KeyValueStore::Load(const char* p) {
  if (!p) return vErrParam;
  vFile* file = vFile_Open(p, vFileModeRead);
  vErr result = vErrNone;
  if (!file) {
    int error = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", p,
             error);
    // Only a missing file is created; one that exists but can't be read is
    // left alone rather than replaced by an empty one.
    struct stat st;
    if (lstat(p, &st) != 0) {
      Add(KEY_CREATED_TIME, Now());
      Save(p);
    }
    result = vErrParam;
  }
  path = p;
  modified = false;
  if (file) {
    std::vector<char> line(LINE_BUFFER_SIZE);
    size_t length = 0;
    while (vFile_ReadLine(file, line.data(), line.size(), &length) == vErrNone)
      ParseInto(line.data(), length);
    vFile_Close(&file);
  }
  return result;
}

void KeyValueStore::Save(const char* p) {
  if (p) {
    path = p;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }
  if (modified) Add(KEY_UPDATED_TIME, Now());

  AtomicFileWriter writer(path);
  if (!writer.file()) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), writer.openError());
    return;
  }
  for (const auto& kv : entries) {
    if (vFile_Printf(writer.file(), "%s=%s\n", kv.first.c_str(), kv.second.c_str()) != vErrNone) {
      writer.Fail(vErrWrite);
      break;
    }
  }
  vErr e = writer.Commit();
  if (e != vErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             path.c_str(), int(e));
    return;
  }
  modified = false;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (!key) return nullptr;
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const char* v = (*this)[key];
  if (v) return v;
  return defaultValue ? defaultValue : "";
}

const std::string& KeyValueStore::Lookup(const char* key) {
  static const std::string kEmpty;
  if (!key) return kEmpty;
  return entries[key];
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const std::string& v = Lookup(key);
  return v.empty() ? defaultValue : int(strtol(v.c_str(), nullptr, 10));
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const std::string& v = Lookup(key);
  return v.empty() ? defaultValue : uint32_t(strtol(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string& v = Lookup(key);
  return v.empty() ? defaultValue : int(strtol(v.c_str(), nullptr, 10)) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string& v = Lookup(key);
  return v.empty() ? defaultValue : strtod(v.c_str(), nullptr);
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char buf[512];
  snprintf(buf, sizeof buf, "%f", value);
  return Add(key, std::string(buf));
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  if (!key) return true;
  auto it = entries.find(key);
  const std::string current = it == entries.end() ? std::string() : it->second;
  if (current != value) modified = true;
  entries[key] = value;
  return true;
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", value);
  return Add(key, std::string(buf));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) {
    modified = modified || !entries.empty();
    return true;
  }
  for (const auto& kv : other.entries) {
    entries[kv.first] = kv.second;
    modified = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  modified = true;
  return true;
}
