// Directory utilities: existence, recursive creation, listing with a
// callback, deletion, and joining paths into bounded buffers.
#include "vDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

bool vDirectory_Exists(const char* path) {
  if (!path) return false;
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool sMakeOne(const char* path, unsigned mode) {
  if (mkdir(path, mode) == 0) return true;
  return errno == EEXIST;
}

vErr vDirectory_Ensure(const char* path, unsigned mode) {
  if (!path || !path[0]) return vErrParam;
  if (vDirectory_Exists(path)) return vErrNone;

  // Find the deepest existing ancestor by cutting at the last separator.
  std::vector<char> copy(path, path + strlen(path) + 1);
  size_t start = 0;
  for (;;) {
    const char* sep = backwards_memcmp(copy.data(), vDIR_PATH_SEP);
    if (!sep) break;
    size_t at = size_t(sep - copy.data());
    copy[at] = '\0';
    if (at == 0 || vDirectory_Exists(copy.data())) {
      start = at;
      break;
    }
  }
  // Walk forward from there, creating each missing component.
  std::vector<char> walk(path, path + strlen(path) + 1);
  vErr result = vErrNone;
  size_t length = strlen(path);
  for (size_t i = start + 1; i < length; ++i) {
    if (walk[i] != '/') continue;
    if (walk[i - 1] == '/') continue;  // empty component
    walk[i] = '\0';
    if (!vDirectory_Exists(walk.data()) && !sMakeOne(walk.data(), mode)) {
      result = vErrPermission;
      walk[i] = '/';
      break;
    }
    walk[i] = '/';
  }
  if (result != vErrNone) return result;
  if (!sMakeOne(path, mode)) return vErrPermission;
  return result;
}

vErr vDirectory_List(const char* path, vDirectoryListCallback callback, void* context) {
  if (!path || !callback) return vErrParam;
  DIR* dir = opendir(path);
  if (!dir) return vErrNotFound;
  char full[2048];
  while (struct dirent* entry = readdir(dir)) {
    // A path too long for the buffer would name a different entry (its
    // directory): such an entry can't be examined and is skipped.
    if (vDirectory_BuildPath(full, sizeof full, path, entry->d_name, nullptr) != vErrNone) continue;
    struct stat st;
    if (stat(full, &st) != 0) continue;
    vDirectoryListData data;
    data.path = full;
    data.size = uint32_t(st.st_size);
    data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    if (!callback(&data, context)) break;
  }
  closedir(dir);
  return vErrNone;
}

vErr vDirectory_Delete(const char* path) {
  if (!path) return vErrParam;
  return rmdir(path) == 0 ? vErrNone : vErrUnknown;
}

vErr vDirectory_DeleteTree(const char* path) {
  if (!path) return vErrParam;
  DIR* dir = opendir(path);
  if (!dir) return vErrNotFound;
  char full[2048];
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    // A path too long for the buffer would name the directory itself (and
    // recurse into it without end): the walk stops and the removal fails.
    if (vDirectory_BuildPath(full, sizeof full, path, entry->d_name, nullptr) != vErrNone) break;
    // A symbolic link is removed, never followed: what it points to is not part of the tree.
    struct stat st;
    bool isDir = lstat(full, &st) == 0 && S_ISDIR(st.st_mode);
    if (isDir) {
      if (vDirectory_DeleteTree(full) != vErrNone) break;
    } else if (unlink(full) != 0) {
      perror("vDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", full);
      break;
    }
  }
  closedir(dir);
  return vDirectory_Delete(path);
}

vErr vDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0) return vErrParam;
  return getcwd(buffer, size) ? vErrNone : vErrParam;
}

vErr vDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0) return vErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return vErrRead;
  }
  buffer[n] = '\0';
  return vErrNone;
}

// The home directory: "HOME" when it is set and not empty, so a caller can
// point the store elsewhere; otherwise the password database.
vErr vDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return vErrParam;
  buffer[0] = '\0';
  const char* home = getenv("HOME");
  if (!home || !home[0]) {
    struct passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (!home || !home[0]) return vErrNotFound;
  if (strlen(home) >= size) return vErrOverrun;
  strcpy(buffer, home);
  return vErrNone;
}

void vDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  vDirectory_BuildPath(buffer, size, first, second, nullptr);
}

vErr vDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (!buffer || size == 0) return vErrParam;
  buffer[0] = '\0';
  const char* parts[vDIR_MAX_COMPONENTS];
  size_t count = 0;
  va_list args;
  va_start(args, first);
  for (const char* p = first; p; p = va_arg(args, const char*)) {
    if (count == vDIR_MAX_COMPONENTS) {
      va_end(args);
      return vErrParam;
    }
    parts[count++] = p;
  }
  va_end(args);
  for (size_t i = 0; i < count; ++i) {
    // The buffer may not be any of the components.
    if (parts[i] >= buffer && parts[i] < buffer + size) return vErrParam;
  }
  if (count == 0) return vErrNone;

  size_t used = strlen(parts[0]);
  if (used >= size - 1) return vErrOverrun;
  memcpy(buffer, parts[0], used + 1);
  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    if (used + 1 < size && (used == 0 || buffer[used - 1] != '/') && part[0] != '/') {
      buffer[used++] = '/';
      buffer[used] = '\0';
    }
    size_t len = strlen(part);
    if (len + 1 > size - used) return vErrOverrun;
    memcpy(buffer + used, part, len + 1);
    used += len;
  }
  return vErrNone;
}

const char* backwards_memcmp(const char* text, const char* pattern) {
  if (!text || !pattern) return nullptr;
  size_t n = strlen(pattern);
  if (n == 0) return text;
  size_t t = strlen(text);
  if (n > t) return nullptr;
  for (size_t i = t - n + 1; i-- > 0;)
    if (memcmp(text + i, pattern, n) == 0) return text + i;
  return nullptr;
}

std::string BuildPath(const char* first, ...) {
  if (!first) return std::string();  // the list is empty: nothing follows its end
  std::string out = first;
  va_list args;
  va_start(args, first);
  for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*)) {
    out += vDIR_PATH_SEP;
    out += p;
  }
  va_end(args);
  return out;
}
