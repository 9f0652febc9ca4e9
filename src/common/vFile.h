// A thin file API over C streams: open modes read (0), write (1) and
// append-and-read (2), with results as vErr.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vErr.h"

#define vFILE_MAX_PATH 4096
#define vFILE_CHECK 0xFEED

enum vFileMode : uint32_t { vFileModeRead = 0, vFileModeWrite = 1, vFileModeAppend = 2 };

typedef struct vFile {
  FILE* handle;
  uint32_t mode;
  uint16_t check;
} vFile;

bool vFile_Exists(const char* path);
vFile* vFile_Open(const char* path, uint32_t mode);
vErr vFile_Close(vFile** file);
vErr vFile_Read(vFile* file, void* buffer, size_t n, size_t* count);
vErr vFile_Write(vFile* file, const void* bytes, size_t n, size_t* count);
vErr vFile_Seek(vFile* file, long offset, int whence);
vErr vFile_GetSize(vFile* file, size_t* size);
vErr vFile_GetPosition(vFile* file, size_t* position);
vErr vFile_ReadLine(vFile* file, char* buffer, size_t size, size_t* length);
vErr vFile_Printf(vFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
vErr vFile_SetUnbuffered(vFile* file);
vErr vFile_Delete(const char* path);
