// File transport of vStream over the vFile API: one byte per get, plain
// writes, and the file closed on delete.
#include "vStream_File.h"

#include "vFile.h"

static vErr sFileGet(uint8_t* byte, void* ref) {
  vFile* file = static_cast<vFile*>(ref);
  if (!file) return vErrIO;
  size_t count = 0;
  vErr err = vFile_Read(file, byte, 1, &count);
  if (err != vErrNone) return err;
  return count == 1 ? vErrNone : vErrEOF;
}

static vErr sFileWrite(const uint8_t* bytes, size_t n, void* ref) {
  vFile* file = static_cast<vFile*>(ref);
  if (!file) return vErrIO;
  size_t count = 0;
  vErr err = vFile_Write(file, bytes, n, &count);
  if (err != vErrNone) return err;
  return count == n ? vErrNone : vErrIO;
}

static vErr sFilePut(uint8_t byte, void* ref) { return sFileWrite(&byte, 1, ref); }

static vErr sFileDelete(void* ref) {
  vFile* file = static_cast<vFile*>(ref);
  if (!file) return vErrIO;
  return vFile_Close(&file);
}

static vErr sCreate(const char* path, uint32_t mode, vStream** stream) {
  if (!path || !stream) return vErrResource;
  *stream = nullptr;
  vFile* file = vFile_Open(path, mode);
  if (!file) return vErrResource;
  vStream* s = mode == vFileModeRead
                   ? vStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                   : vStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (!s) {
    vFile_Close(&file);
    return vErrResource;
  }
  *stream = s;
  return vErrNone;
}

vErr vStream_CreateFileInput(const char* path, vStream** stream) {
  return sCreate(path, vFileModeRead, stream);
}

vErr vStream_CreateFileOutput(const char* path, vStream** stream) {
  return sCreate(path, vFileModeWrite, stream);
}
