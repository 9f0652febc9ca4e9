// Store root, device directories and build files: creating, finding and
// listing them, and reading and writing the BIRD files they hold.
#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Log.h"

namespace {

std::string SerialName(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// The entry name: the text after the last "/".
const char* EntryName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::string Parent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? std::string(path, size_t(slash - path)) : std::string();
}

store_item_t KindOf(uint32_t isDirectory) {
  return isDirectory == 1 ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

void Fill(UpdaterStoreItem* item, const std::string& fullPath, uint32_t isDirectory) {
  *item = UpdaterStoreItem(Parent(fullPath.c_str()).c_str(), EntryName(fullPath.c_str()),
                           KindOf(isDirectory));
}

bool FindItemCallback(vDirectoryListData* entry, void* context) {
  return _find_item(entry, static_cast<result_t*>(context));
}

bool FindItemsCallback(vDirectoryListData* entry, void* context) {
  return _find_items(entry, static_cast<std::vector<UpdaterStoreItem>*>(context));
}

// Lists dir for name; fills item (when given) from the exact match, else from
// the first partial one.
bool Find(const std::string& dir, const char* name, UpdaterStoreItem* item) {
  result_t state;
  state.name = name ? name : "";
  state.item = item;
  vDirectory_List(dir.c_str(), FindItemCallback, &state);
  if (state.found && !state.exact && item) Fill(item, state.matchPath, state.matchIsDirectory);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", state.found ? "Found" : "Not Found",
           state.name.c_str());
  return state.found;
}

// A build file name that stays inside its directory.
bool PlainFileName(const char* file) {
  return file && file[0] && !strchr(file, '/') && strcmp(file, ".") != 0 && strcmp(file, "..") != 0;
}

}  // namespace

// Throws when the directory can't be had. From the UpdaterStore constructor
// the app's _createUpdaterStore catches it; from AddDevice, the caller of
// AddDevice does (the download's entry step, or load_bird's callers).
void _ensure_directory(const char* path) {
  std::string p = path ? path : "";
  struct stat st;
  if (stat(p.c_str(), &st) != 0) {
    vErr e = vDirectory_Ensure(p.c_str(), 0755);
    if (e != vErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + p + " error " +
                               std::to_string(int(e)));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", p.c_str());
  } else if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + p + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", p.c_str());
  }
}

bool _find_item(vDirectoryListData* entry, result_t* state) {
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           int(entry->isDirectory), int(entry->size), state->name.c_str());
  const char* name = EntryName(entry->path);
  // Only the entry's own name is matched, so a root whose path holds the
  // searched text doesn't match every entry.
  if (!strcmp(name, ".") || !strcmp(name, "..") || state->name.empty() ||
      !strstr(name, state->name.c_str()))
    return true;
  state->found = true;
  if (state->name == name) {
    state->exact = true;
    state->matchPath = entry->path;
    state->matchIsDirectory = entry->isDirectory;
    if (state->item) Fill(state->item, state->matchPath, entry->isDirectory);
    return false;
  }
  // A partial match (a stray "00001A2B.txt") counts only if no entry has the exact name.
  if (state->matchPath.empty()) {
    state->matchPath = entry->path;
    state->matchIsDirectory = entry->isDirectory;
  }
  return true;
}

bool _find_items(vDirectoryListData* entry, std::vector<UpdaterStoreItem>* items) {
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, int(entry->isDirectory),
           int(entry->size));
  const char* name = EntryName(entry->path);
  if (name[0] != '.' && items)
    items->emplace_back(Parent(entry->path).c_str(), name, KindOf(entry->isDirectory));
  return true;
}

// ---------------------------------------------------------------------------
// UpdaterStoreItem

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* n, store_item_t k)
    : basePath(base ? base : ""), name(n ? n : ""), kind(k) {
  std::string settings = BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME,
                                   static_cast<const char*>(nullptr));
  info.Load(settings.c_str());
}

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

bool UpdaterStoreItem::FileExists(const char* file) {
  return Find(BuildPath(basePath.c_str(), name.c_str(), static_cast<const char*>(nullptr)), file,
              nullptr);
}

vErr UpdaterStoreItem::WriteFile(const char* file, const uint8_t* data, size_t length) {
  if (!data) return vErrNotFound;
  if (!PlainFileName(file)) {
    Log::log(DEBUG_Updater, "UpdaterStore: refusing to write file [%s] outside [%s/%s].\n",
             file ? file : "", basePath.c_str(), name.c_str());
    return vErrParam;
  }
  std::string path =
      BuildPath(basePath.c_str(), name.c_str(), file, static_cast<const char*>(nullptr));
  AtomicFileWriter writer(path);
  if (!writer.file()) return vErrNotFound;
  size_t count = 0;
  vErr e = vFile_Write(writer.file(), data, length, &count);
  if (e == vErrNone && count != length) e = vErrWrite;
  if (e != vErrNone) {
    writer.Fail(e);
    writer.Commit();
    return e;
  }
  return writer.Commit();
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
  std::string path = BuildPath(basePath.c_str(), name.c_str(), file ? file : "",
                               static_cast<const char*>(nullptr));
  // Caught by the caller: load_bird (which then downloads), Update_Firmware's
  // check for a stored build, or the recovery command around its loader image.
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}

// ---------------------------------------------------------------------------
// UpdaterStore

UpdaterStore::UpdaterStore(const char* root) : basePath(root ? root : "") {
  _ensure_directory(basePath.c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
  return AddDevice(SerialName(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  std::string n = name ? name : "";
  _ensure_directory(
      BuildPath(basePath.c_str(), n.c_str(), static_cast<const char*>(nullptr)).c_str());
  return UpdaterStoreItem(basePath.c_str(), n.c_str(), STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
  return FindDevice(SerialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  return Find(basePath, name, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device))
    vDirectory_List(
        BuildPath(device.basePath.c_str(), device.name.c_str(), static_cast<const char*>(nullptr))
            .c_str(),
        FindItemsCallback, &items);
  return true;
}
