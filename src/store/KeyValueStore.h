// The settings object behind every information file of the firmware store:
// text keys and values in memory, read from and written to "key=value" lines,
// with conversions and creation/update time stamps. Also the crash-safe file
// replacement that every file the store writes goes through.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "vErr.h"
#include "vFile.h"

class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
  // Size of the line buffer: lines of up to 2046 characters plus a line feed load.
  static constexpr size_t LINE_BUFFER_SIZE = 2048;

  // Empty store; loads path when it is given (a missing file is created).
  explicit KeyValueStore(const char* path = nullptr);

  // Merges the file's entries over the store. vErrParam when the file could
  // not be opened (it is then created, holding the store and its time stamps).
  vErr Load(const char* path);
  // Writes every entry to path (or to the known path, or ".settings"). The
  // file is replaced whole: a failed write is logged and leaves the old file.
  void Save(const char* path);
  // Merges entries from text laid out as a file, with Load's rules (an
  // over-long line ends the text). Does not change path or modified.
  void Parse(const char* text, size_t length);
  // One line (with its line feed, if any) → key and value. False for a
  // comment or a line under 3 characters. A key that trims to nothing is
  // the empty key; a line without "=" gives its key an empty value.
  static bool ParseLine(const char* line, size_t length, std::string* key, std::string* value);

  // The value's text, or null when absent.
  const char* operator[](const char* key) const;
  std::string GetString(const char* key, const char* defaultValue) const;
  // The numeric getters return the default only for an empty or absent
  // value, and (as the file format has always done) leave an absent key
  // behind with an empty value.
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);

  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  std::string path;
  std::map<std::string, std::string> entries;
  bool modified = false;

 private:
  // The value an inserting lookup finds (empty for an absent key, which it creates).
  const std::string& Lookup(const char* key);
  void ParseInto(const char* line, size_t length);
};

// Replaces a file whole. The bytes go to a hidden temporary file in the same
// directory, which Commit flushes to disk and renames over the final name; a
// failure at any point leaves the old file as it was, and a writer that is
// not committed removes its temporary file.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(const std::string& path);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // The temporary file to write into; null when it could not be created.
  vFile* file() { return file_; }
  // The system error number of a failed open.
  int openError() const { return openError_; }
  // Records a failed write (for writes that don't go through the vFile).
  void Fail(vErr e) {
    if (failure_ == vErrNone) failure_ = e;
  }
  // Flush, sync, rename. vErrNone, or the first failure (vErrWrite for data
  // that did not reach the disk, vErrIO for a failed sync or rename).
  vErr Commit();

  // Test hook: called after the temporary file is on disk and before it is
  // renamed, with the temporary file's path (a test ends the process there to
  // simulate a crash). Null removes it.
  static void SetBeforeRenameHook(void (*hook)(const char* temporaryPath));

 private:
  std::string target_;
  std::string temp_;
  vFile* file_ = nullptr;
  int openError_ = 0;
  vErr failure_ = vErrNone;
  bool done_ = false;
};
