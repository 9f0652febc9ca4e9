// Directory utilities over the POSIX file system and the path builders.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "vErr.h"

#define vDIR_PATH_SEP "/"
#define vDIR_MAX_COMPONENTS 10

typedef struct vDirectoryListData {
  const char* path;      // root and entry joined by "/"; valid during the callback only
  uint32_t size;         // low 32 bits of the entry's size
  uint32_t isDirectory;  // 1 for a directory
} vDirectoryListData;

typedef bool (*vDirectoryListCallback)(vDirectoryListData* entry, void* context);

bool vDirectory_Exists(const char* path);
vErr vDirectory_Ensure(const char* path, unsigned mode);
vErr vDirectory_List(const char* path, vDirectoryListCallback callback, void* context);
vErr vDirectory_Delete(const char* path);
vErr vDirectory_DeleteTree(const char* path);
vErr vDirectory_CWD(char* buffer, size_t size);
vErr vDirectory_ExecutableFilePath(char* buffer, size_t size);
vErr vDirectory_GetHomeDirectory(char* buffer, size_t size);
void vDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 components (the list ends with a null) with "/" between them.
vErr vDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// Position of the last occurrence of pattern in text; text for an empty
// pattern; null when absent.
const char* backwards_memcmp(const char* text, const char* pattern);

// first, then "/" and each further component; the list ends with a null.
std::string BuildPath(const char* first, ...);
