// File records: each carries its validity mark, checked on every call and
// cleared when the record is closed.
#include "vFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

static bool sValid(const vFile* file) { return file && file->check == vFILE_CHECK && file->handle; }

static bool sPathOk(const char* path) {
  return path && path[0] && strnlen(path, vFILE_MAX_PATH + 1) <= vFILE_MAX_PATH;
}

bool vFile_Exists(const char* path) {
  if (!path || strnlen(path, vFILE_MAX_PATH + 1) > vFILE_MAX_PATH) return false;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

vFile* vFile_Open(const char* path, uint32_t mode) {
  if (!sPathOk(path)) return nullptr;
  const char* how;
  switch (mode) {
    case vFileModeRead: how = "rb"; break;
    case vFileModeWrite: how = "wb"; break;
    case vFileModeAppend: how = "ab+"; break;
    default: return nullptr;
  }
  vFile* file = static_cast<vFile*>(calloc(1, sizeof(vFile)));
  if (!file) return nullptr;
  file->handle = fopen(path, how);
  if (!file->handle) {
    free(file);
    return nullptr;
  }
  if (mode == vFileModeAppend) fseek(file->handle, 0, SEEK_END);
  file->mode = mode;
  file->check = vFILE_CHECK;
  return file;
}

vErr vFile_Close(vFile** file) {
  if (!file) return vErrParam;
  vFile* f = *file;
  *file = nullptr;
  if (!f || f->check != vFILE_CHECK) return vErrParam;
  if (f->handle) fclose(f->handle);
  f->check = 0;
  f->handle = nullptr;
  free(f);
  return vErrNone;
}

vErr vFile_Read(vFile* file, void* buffer, size_t n, size_t* count) {
  if (!sValid(file) || !buffer) return vErrParam;
  if (file->mode != vFileModeRead && file->mode != vFileModeAppend) return vErrMode;
  size_t got = fread(buffer, 1, n, file->handle);
  if (count) *count = got;
  if (got == 0 && n > 0) return vErrEOF;
  return vErrNone;
}

vErr vFile_Write(vFile* file, const void* bytes, size_t n, size_t* count) {
  if (!sValid(file) || !bytes) return vErrParam;
  if (file->mode != vFileModeWrite && file->mode != vFileModeAppend) return vErrMode;
  size_t put = fwrite(bytes, 1, n, file->handle);
  if (count) *count = put;
  if (put == 0 && n > 0) return vErrIO;
  return vErrNone;
}

vErr vFile_Seek(vFile* file, long offset, int whence) {
  if (!sValid(file)) return vErrParam;
  long current = ftell(file->handle);
  if (current < 0) return vErrIO;
  if (fseek(file->handle, 0, SEEK_END) != 0) return vErrIO;
  long size = ftell(file->handle);
  if (size < 0 || fseek(file->handle, current, SEEK_SET) != 0) return vErrIO;
  long base;
  switch (whence) {
    case 0: base = 0; break;
    case 1: base = current; break;
    case 2: base = size; break;
    default: return vErrParam;
  }
  long target = base + offset;
  if (target < 0 || target > size) return vErrRange;
  return fseek(file->handle, target, SEEK_SET) == 0 ? vErrNone : vErrIO;
}

vErr vFile_GetSize(vFile* file, size_t* size) {
  if (!size || !sValid(file)) return vErrParam;
  long current = ftell(file->handle);
  if (current < 0 || fseek(file->handle, 0, SEEK_END) != 0) return vErrIO;
  long end = ftell(file->handle);
  if (end < 0 || fseek(file->handle, current, SEEK_SET) != 0) return vErrIO;
  *size = size_t(end);
  return vErrNone;
}

vErr vFile_GetPosition(vFile* file, size_t* position) {
  if (!sValid(file)) return vErrParam;
  long at = ftell(file->handle);
  if (at < 0) return vErrIO;
  if (at > 0 && position) *position = size_t(at);
  return vErrNone;
}

vErr vFile_ReadLine(vFile* file, char* buffer, size_t size, size_t* length) {
  if (!sValid(file) || !buffer || size == 0 || size > size_t(0x7FFFFFFF)) return vErrParam;
  if (file->mode != vFileModeRead && file->mode != vFileModeAppend) return vErrMode;
  buffer[0] = '\0';
  if (!fgets(buffer, int(size), file->handle)) {
    if (length) *length = 0;
    return feof(file->handle) ? vErrEOF : vErrIO;
  }
  size_t len = strlen(buffer);
  if (length) *length = len;
  if (len == size - 1 && buffer[len - 1] != '\n') return vErrOverrun;
  return vErrNone;
}

vErr vFile_Printf(vFile* file, const char* format, ...) {
  if (!sValid(file) || !format) return vErrParam;
  if (file->mode != vFileModeWrite && file->mode != vFileModeAppend) return vErrMode;
  va_list args;
  va_start(args, format);
  int n = vfprintf(file->handle, format, args);
  va_end(args);
  return n < 0 ? vErrIO : vErrNone;
}

vErr vFile_SetUnbuffered(vFile* file) {
  if (!sValid(file)) return vErrParam;
  if (file->mode != vFileModeWrite && file->mode != vFileModeAppend) return vErrMode;
  return setvbuf(file->handle, nullptr, _IONBF, 0) == 0 ? vErrNone : vErrMode;
}

vErr vFile_Delete(const char* path) {
  if (!path) return vErrParam;
  if (strnlen(path, vFILE_MAX_PATH + 1) > vFILE_MAX_PATH) return vErrFileNameLength;
  if (remove(path) == 0) return vErrNone;
  switch (errno) {
    case ENOENT: return vErrNotFound;
    case EACCES: return vErrPermission;
    default: return vErrIO;
  }
}
