// Files, paths and directories: ZFilePath (a full path name with accessors
// for its parts), ZFile and ZTextFile (channels on a file), ZFileInfo (a
// status query) and ZDirectory (a directory that enumerates its entries).
//
// Paths use "/" as separator and have no volume. Static operations (Remove,
// Rename, Move, Copy, GetInfo, SetPermissions) answer false on failure and
// leave the C library's error number as the thread's last error.
#pragma once

#include <cstdint>

#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

// ---------------------------------------------------------------- ZFilePath

class ZFilePath : public ZCaselessString {
  Z_CLASS(ZFilePath, ZCaselessString)
 public:
  enum TemporaryTag { TemporaryName };

  ZFilePath() = default;
  // The absolute form of name: relative names are taken from the current
  // directory, and "." / ".." parts and repeated separators are resolved.
  ZFilePath(const char* name);                                // NOLINT: implicit, like the strings it extends
  ZFilePath(const ZString& name) : ZFilePath(name.Text()) {}  // NOLINT
  // A new unique temporary file (created empty, so the name stays reserved)
  // in directory, else in $TMPDIR, $TMP or $TEMP, else in the current
  // directory. "Could not make temporary file" is reported when none can be
  // made (the path is then empty).
  ZFilePath(TemporaryTag, const char* prefix = "ZU", const char* directory = nullptr);

  // The parts: directory and name are split at the last "/" that is not the
  // final character.
  ZString GetVolume() const;    // always empty on this host
  ZString GetPath() const;      // "/dir/sub/" of /dir/sub/name.ext
  ZString GetFileName() const;  // "name.ext"
  ZString GetTitle() const;     // "name": the name up to its last "."
  ZString GetType() const;      // ".ext": from the last "."; empty without one

  ZObject* Clone() const override;

 private:
  ZIndex NameStart() const;
};

// ---------------------------------------------------------------- ZFileInfo

class ZFileInfo : public ZObject {
  Z_CLASS(ZFileInfo, ZObject)
 public:
  enum Type { RegularFile = 1, Directory = 4, OtherType = 256 };
  enum Permission { Read = 0444, Write = 0222, Execute = 0111 };

  int type = OtherType;
  ZTime created{int64_t{0}};  // status change time (never before 1970)
  ZTime modified{int64_t{0}};
  ZTime accessed{int64_t{0}};
  int64_t size = 0;
  int permissions = 0;  // Read | Write | Execute, from the owner's bits
  bool hidden = false;  // the name starts with "."
};

// ---------------------------------------------------------------- ZFile

class ZFile : public ZChannel {
  Z_CLASS(ZFile, ZChannel)
 public:
  enum Mode { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };
  enum Option { Create = 1, Truncate = 2, Exclusive = 4, RemoveOnClose = 8 };
  // Open's options when none are given: read only none, write only
  // Create | Truncate, read and write Create.
  static constexpr int DefaultOptions = -1;

  ZFile() = default;
  explicit ZFile(const char* name);
  ~ZFile() override;

  // Closes an open file first. A file without a name gets a new temporary
  // file (prefix "ZUN"), opened for reading and writing. The outcome is the
  // channel's error code.
  bool Open(int mode = ReadOnly, int options = DefaultOptions);
  bool IsOpen() const override { return handle >= 0; }
  ZString GetName() const override { return path; }
  const ZFilePath& GetPath() const { return path; }
  void SetPath(const char* name);

  // Both need an open file ("File not open" otherwise). Read is true when at
  // least one byte came; Write when every byte went out.
  bool Read(void* buffer, ZIndex length) override;
  bool Write(const void* buffer, ZIndex length) override;
  // False with NotOpen on a closed file; removes the file when it was opened
  // with RemoveOnClose.
  bool Close() override;

  int64_t GetLength();
  int64_t GetPosition();
  bool IsEndOfFile();
  // origin: 0 begin, 1 current, 2 end. True when the position lands where
  // asked.
  bool SetPosition(int64_t offset, int origin = 0);

  // ---- operations on names
  // force: a failure with EACCES makes the file writable and tries again.
  static bool Remove(const char* name, bool force = false);
  // newName is a plain name (no ":" or "/"; EINVAL otherwise) in the old
  // file's directory; force replaces an existing file of that name.
  static bool Rename(const char* oldName, const char* newName, bool force = false);
  // Renames to another path; force replaces an existing target; across file
  // systems the file is copied and the original removed.
  static bool Move(const char* oldPath, const char* newPath, bool force = false);
  // Copies contents and permissions; an existing target is replaced only
  // with force (EEXIST otherwise).
  static bool Copy(const char* oldPath, const char* newPath, bool force = false);
  static bool GetInfo(const char* name, ZFileInfo& info);
  // Only the owner's read and write bits are applied.
  static bool SetPermissions(const char* name, int permissions);

 protected:
  ZFilePath path;
  bool removeOnClose = false;

 private:
  // Reports "File not open" on a closed file and records NotOpen.
  bool CheckOpen();
};

// A file of text lines. This host stores line ends as LF, which is also the
// library's line end, so no translation takes place.
class ZTextFile : public ZFile {
  Z_CLASS(ZTextFile, ZFile)
 public:
  ZTextFile() = default;
  explicit ZTextFile(const char* name) : ZFile(name) {}
};

// ---------------------------------------------------------------- ZDirectory

// A directory's full path (with a trailing "/") that can enumerate its
// entries. One scan at a time; the scan holds a system handle, so the
// object is not copied.
class ZDirectory : public ZCaselessString {
  Z_CLASS(ZDirectory, ZCaselessString)
 public:
  static constexpr int AllEntries = 511;

  ZDirectory() = default;
  ZDirectory(const char* name);  // NOLINT
  ZDirectory(const ZDirectory&) = delete;
  ZDirectory& operator=(const ZDirectory&) = delete;
  ~ZDirectory() override;

  // Starts a scan: "." and ".." are skipped; mask 511 accepts every other
  // entry, any other mask the entries whose ZFileInfo type is one of its
  // bits. False when the directory cannot be read or holds no such entry.
  bool Open(int scanMask = AllEntries);
  // Moves to the next accepted entry; false at the end (the scan ends).
  bool Next();
  void Close();
  ZString GetEntryName() const { return entryName; }
  bool IsSubDir() const { return entryInfo.type == ZFileInfo::Directory; }
  const ZFileInfo& GetEntryInfo() const { return entryInfo; }
  // This host has no volumes: always empty.
  ZString GetVolume() const;
  // Makes name the process's current directory; true when that worked (the
  // current directory stays changed).
  static bool Exists(const char* name);

 private:
  int scanMask = AllEntries;
  void* scan = nullptr;
  ZString entryName;
  ZFileInfo entryInfo;
};
