// The firmware store: one directory per module under a root, holding the BIRD
// files downloaded for it and its ".settings" information file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "vDirectory.h"
#include "vErr.h"

enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory or a build file) with its information file.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  // Loads info from base/name/.settings, creating it when missing.
  UpdaterStoreItem(const char* base, const char* name, store_item_t kind);

  bool IsValid() const;
  // Whether an entry of this item's directory matches file.
  bool FileExists(const char* file);
  // Writes basePath/name/file whole (replacing any old file only once the new
  // one is complete on disk). vErrNotFound for null data or a file that can't
  // be created, vErrParam for a name that is not a plain file name, else the
  // result of the write.
  vErr WriteFile(const char* file, const uint8_t* data, size_t length);
  // Throws std::runtime_error("Invalid bird " + path) when the file is not a
  // BIRD file, or the BirdFile constructor's error when it can't be loaded.
  BirdFile ReadBirdFile(const char* file);

  std::string basePath;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore info;
};

// Search state of a directory listing.
struct result_t {
  bool found = false;
  std::string name;
  UpdaterStoreItem* item = nullptr;
  // The entry whose name is exactly `name`, preferred over a partial match.
  bool exact = false;
  std::string matchPath;
  uint32_t matchIsDirectory = 0;
};

class UpdaterStore {
 public:
  // Creates the root when missing; throws std::runtime_error when it can't.
  explicit UpdaterStore(const char* root);

  const char* BasePath() const { return basePath.c_str(); }
  // Creates root/"%08X" (or root/name) and its information file; may throw.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const char* name);
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr);
  bool FindDevice(const char* name, UpdaterStoreItem* item = nullptr);
  // Appends one item per entry of the device's directory not starting with ".".
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

  std::string basePath;
};

// Creates path (mode 0755, with its parents) when missing; throws
// std::runtime_error when it can't, or when path is a file.
void _ensure_directory(const char* path);
// Listing callbacks: find one entry by name; collect every visible entry.
bool _find_item(vDirectoryListData* entry, result_t* state);
bool _find_items(vDirectoryListData* entry, std::vector<UpdaterStoreItem>* items);
