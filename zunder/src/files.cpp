// Files, paths and directories on top of the host's file calls.
#include <string>
#include <vector>

#include "host_error.h"
#include "host_file.h"
#include "zunder/config.h"
#include "zunder/files.h"

namespace {

// Resolves "." and ".." and collapses repeated separators in an absolute
// path; a trailing separator is kept ("/dir/" stays a directory name).
std::string Normalise(const std::string& absolute) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= absolute.size()) {
    size_t slash = absolute.find('/', start);
    if (slash == std::string::npos) slash = absolute.size();
    std::string part = absolute.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  bool trailing = absolute.size() > 1 &&
                  (absolute.back() == '/' || absolute.ends_with("/.") || absolute.ends_with("/.."));
  if (result.empty() || trailing) result += "/";
  return result;
}

std::string Absolute(const char* name) {
  std::string text = name == nullptr ? "" : name;
  if (text.empty()) return text;
  if (text[0] != '/') {
    std::string current;
    if (!zhost::CurrentDirectory(current)) current.assign(1, '/');
    current += '/';
    current += text;
    text = std::move(current);
  }
  return Normalise(text);
}

int PermissionsFromMode(unsigned mode) {
  int permissions = 0;
  if (mode & 0400) permissions |= ZFileInfo::Read;
  if (mode & 0200) permissions |= ZFileInfo::Write;
  if (mode & 0100) permissions |= ZFileInfo::Execute;
  return permissions;
}

// Leaves error as the thread's last error for the callers of the static
// operations.
bool Failed(int error) {
  zhost::SetLastError(error);
  return false;
}

}  // namespace

// ---------------------------------------------------------------- ZFilePath

ZFilePath::ZFilePath(const char* name) : ZCaselessString(Absolute(name).c_str()) {}

ZFilePath::ZFilePath(TemporaryTag, const char* prefix, const char* directory) {
  std::string folder = directory == nullptr ? "" : directory;
  if (folder.empty()) {
    ZConfig environment(ZConfig::Environment);
    for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) {
      folder = environment.GetString(variable, "").Text();
      if (!folder.empty()) break;
    }
  }
  if (folder.empty()) folder = ".";
  folder = Absolute(folder.c_str());
  if (folder.back() != '/') folder += '/';
  std::string name = folder + (prefix == nullptr ? "" : prefix) + "XXXXXX";
  int error = 0;
  int fd = zhost::OpenTemporaryFile(name, error);
  if (fd < 0) {
    Z_ASSERT_MESSAGE("Could not make temporary file");
    return;
  }
  zhost::CloseFile(fd);
  ZString::operator=(name.c_str());
}

ZIndex ZFilePath::NameStart() const {
  ZIndex length = GetLength();
  // The last separator that is not the final character.
  ZIndex slash = length > 1 ? FindLast('/', length - 2) : ZNotFound;
  return slash == ZNotFound ? 0 : slash + 1;
}

ZString ZFilePath::GetVolume() const { return ZString(); }

ZString ZFilePath::GetPath() const { return ZString(Left(NameStart())); }

ZString ZFilePath::GetFileName() const { return ZString(Mid(NameStart())); }

ZString ZFilePath::GetTitle() const {
  ZString name = GetFileName();
  ZIndex dot = name.FindLast('.');
  return dot == ZNotFound ? name : name.Left(dot);
}

ZString ZFilePath::GetType() const {
  ZString name = GetFileName();
  ZIndex dot = name.FindLast('.');
  return dot == ZNotFound ? ZString() : name.Mid(dot);
}

ZObject* ZFilePath::Clone() const {
  ZFilePath* copy = new ZFilePath();
  copy->ZString::operator=(*this);
  return copy;
}

// ---------------------------------------------------------------- ZFile

ZFile::ZFile(const char* name) : path(name) {}

ZFile::~ZFile() {
  if (IsOpen()) Close();
}

void ZFile::SetPath(const char* name) {
  if (IsOpen()) Close();
  path = ZFilePath(name);
}

bool ZFile::Open(int mode, int options) {
  if (IsOpen()) Close();
  if (mode < ReadOnly || mode > ReadWrite) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    SetResult(BadParameter, zhost::kInvalidArgument);
    return false;
  }
  if (options == DefaultOptions) {
    options = mode == WriteOnly ? Create | Truncate : (mode == ReadWrite ? Create : 0);
  }
  removeOnClose = (options & RemoveOnClose) != 0;
  int error = 0;
  if (path.IsEmpty()) {
    // A nameless file gets a fresh temporary one. The name is made by
    // creating the file (mkstemp), so no other process can take it before
    // it is opened below.
    ZFilePath temporary(ZFilePath::TemporaryName, "ZUN");
    if (temporary.IsEmpty()) {
      SetResult(Miscellaneous, zhost::kFileExists);
      return false;
    }
    path = temporary;
  }
  zhost::OpenFlags flags;
  flags.access = static_cast<zhost::FileAccess>(mode);
  flags.create = (options & Create) != 0;
  flags.truncate = (options & Truncate) != 0;
  flags.exclusive = (options & Exclusive) != 0;
  handle = zhost::OpenFile(path.Text(), flags, error);
  SetResult(error);
  return handle >= 0;
}

bool ZFile::CheckOpen() {
  if (IsOpen()) return true;
  Z_ASSERT_CODE(ZAssertFileNotOpen);
  SetResult(NotOpen, zhost::kBadDescriptor);
  return false;
}

bool ZFile::Read(void* buffer, ZIndex length) {
  SetLastReadCount(0);
  if (!CheckOpen()) return false;
  if (length <= 0) {
    SetResult(0);
    return false;
  }
  int error = 0;
  long count = zhost::ReadFile(handle, buffer, static_cast<size_t>(length), error);
  SetResult(error);
  if (count <= 0) return false;
  SetLastReadCount(static_cast<ZIndex>(count));
  return true;
}

bool ZFile::Write(const void* buffer, ZIndex length) {
  SetLastWriteCount(0);
  if (!CheckOpen()) return false;
  const char* bytes = static_cast<const char*>(buffer);
  ZIndex sent = 0;
  int error = 0;
  while (sent < length) {
    long count = zhost::WriteFile(handle, bytes + sent, static_cast<size_t>(length - sent), error);
    if (count <= 0) break;
    sent += static_cast<ZIndex>(count);
  }
  SetLastWriteCount(sent);
  SetResult(error);
  return sent == length && error == 0;
}

bool ZFile::Close() {
  if (!IsOpen()) {
    SetResult(NotOpen, zhost::kBadDescriptor);
    return false;
  }
  zhost::CloseFile(handle);
  handle = -1;
  int error = 0;
  if (removeOnClose) zhost::RemoveFile(path.Text(), error);
  removeOnClose = false;
  SetResult(error);
  return error == 0;
}

int64_t ZFile::GetPosition() {
  if (!CheckOpen()) return -1;
  int error = 0;
  return zhost::SeekFile(handle, 0, 1, error);
}

int64_t ZFile::GetLength() {
  if (!CheckOpen()) return -1;
  int error = 0;
  int64_t position = zhost::SeekFile(handle, 0, 1, error);
  int64_t length = zhost::SeekFile(handle, 0, 2, error);
  if (position < 0 || zhost::SeekFile(handle, position, 0, error) != position) {
    Z_ASSERT_CODE(ZAssertOSError);
  }
  return length;
}

bool ZFile::IsEndOfFile() {
  if (!CheckOpen()) return true;
  int64_t position = GetPosition();
  return position >= GetLength();
}

bool ZFile::SetPosition(int64_t offset, int origin) {
  if (!CheckOpen()) return false;
  if (origin < 0 || origin > 2) {
    SetResult(BadParameter, zhost::kInvalidArgument);
    return false;
  }
  int error = 0;
  int64_t expected = offset;
  if (origin != 0) {
    int64_t base = zhost::SeekFile(handle, 0, origin, error);
    if (base < 0) {
      SetResult(error);
      return false;
    }
    expected = base + offset;
  }
  int64_t landed = zhost::SeekFile(handle, expected, 0, error);
  SetResult(error);
  return landed >= 0 && landed == expected;
}

bool ZFile::Remove(const char* name, bool force) {
  int error = 0;
  if (zhost::RemoveFile(name, error)) return true;
  if (error == zhost::kAccessDenied && force) {
    zhost::FileStatus status;
    int ignored = 0;
    if (zhost::StatFile(name, status, ignored)) zhost::ChangeMode(name, status.mode | 0200, ignored);
    if (zhost::RemoveFile(name, error)) return true;
  }
  return Failed(error);
}

bool ZFile::Rename(const char* oldName, const char* newName, bool force) {
  ZString plain(newName);
  if (plain.IsEmpty() || plain.FindOneOf(":\\/") != ZNotFound) return Failed(zhost::kInvalidArgument);
  ZFilePath oldPath(oldName);
  ZString newPath = oldPath.GetPath() + plain;
  int error = 0;
  // An existing file of the new name is replaced only when forced.
  if (zhost::RenameFile(oldPath.Text(), newPath.Text(), false, error)) return true;
  if (force && error != zhost::kNoSuchFile && zhost::FileExists(newPath.Text())) {
    if (!Remove(newPath.Text(), true)) return false;
    if (zhost::RenameFile(oldPath.Text(), newPath.Text(), false, error)) return true;
  }
  return Failed(error);
}

bool ZFile::Move(const char* oldPath, const char* newPath, bool force) {
  int error = 0;
  if (zhost::RenameFile(oldPath, newPath, false, error)) return true;
  if (error == zhost::kNoSuchFile) return Failed(error);
  if (force && zhost::FileExists(newPath)) {
    if (!Remove(newPath, true)) return false;
    if (zhost::RenameFile(oldPath, newPath, false, error)) return true;
  }
  // Another file system (or a target in the way): copy, then drop the old.
  if (!Copy(oldPath, newPath, force)) return false;
  return Remove(oldPath, force);
}

bool ZFile::Copy(const char* oldPath, const char* newPath, bool force) {
  int error = 0;
  zhost::FileStatus status;
  if (!zhost::StatFile(oldPath, status, error)) return Failed(error);
  if (status.kind != zhost::FileStatus::Regular) return Failed(zhost::kInvalidArgument);
  zhost::OpenFlags readFlags;
  int source = zhost::OpenFile(oldPath, readFlags, error);
  if (source < 0) return Failed(error);
  zhost::OpenFlags writeFlags;
  writeFlags.access = zhost::WriteOnly;
  writeFlags.create = true;
  writeFlags.truncate = true;
  writeFlags.exclusive = !force;
  int target = zhost::OpenFile(newPath, writeFlags, error);
  if (target < 0) {
    zhost::CloseFile(source);
    return Failed(error);
  }
  char buffer[16384];
  bool copied = true;
  for (;;) {
    long count = zhost::ReadFile(source, buffer, sizeof buffer, error);
    if (count == 0) break;
    if (count < 0) {
      copied = false;
      break;
    }
    long sent = 0;
    while (sent < count) {
      long written = zhost::WriteFile(target, buffer + sent, static_cast<size_t>(count - sent), error);
      if (written <= 0) break;
      sent += written;
    }
    if (sent < count) {
      copied = false;
      break;
    }
  }
  zhost::CloseFile(source);
  zhost::CloseFile(target);
  if (!copied) {
    int ignored = 0;
    zhost::RemoveFile(newPath, ignored);  // never leave a partial copy behind
    return Failed(error == 0 ? zhost::kInputOutput : error);
  }
  int ignored = 0;
  zhost::ChangeMode(newPath, status.mode, ignored);
  return true;
}

bool ZFile::GetInfo(const char* name, ZFileInfo& info) {
  std::string text = name == nullptr ? "" : name;
  while (text.size() > 1 && (text.back() == ':' || text.back() == '/' || text.back() == '\\')) {
    text.pop_back();
  }
  zhost::FileStatus status;
  int error = 0;
  if (text.empty() || !zhost::StatFile(text.c_str(), status, error)) {
    return Failed(text.empty() ? zhost::kNoSuchFile : error);
  }
  info.type = status.kind == zhost::FileStatus::Regular     ? ZFileInfo::RegularFile
              : status.kind == zhost::FileStatus::Directory ? ZFileInfo::Directory
                                                            : ZFileInfo::OtherType;
  info.created = ZTime(status.changed < 0 ? int64_t{0} : status.changed);
  info.modified = ZTime(status.modified);
  info.accessed = ZTime(status.accessed);
  info.size = status.size;
  info.permissions = PermissionsFromMode(status.mode);
  size_t slash = text.find_last_of('/');
  std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
  info.hidden = !base.empty() && base[0] == '.' && base != "." && base != "..";
  return true;
}

bool ZFile::SetPermissions(const char* name, int permissions) {
  zhost::FileStatus status;
  int error = 0;
  if (!zhost::StatFile(name, status, error)) return Failed(error);
  unsigned mode = (status.mode & ~0600u) | (static_cast<unsigned>(permissions) & 0600u);
  if (!zhost::ChangeMode(name, mode, error)) return Failed(error);
  return true;
}

// ---------------------------------------------------------------- ZDirectory

ZDirectory::ZDirectory(const char* name) : ZCaselessString(Absolute(name).c_str()) {
  if (!IsEmpty() && (*this)[GetLength() - 1] != '/') *this += "/";
}

ZDirectory::~ZDirectory() { Close(); }

void ZDirectory::Close() {
  zhost::CloseDirectory(scan);
  scan = nullptr;
}

bool ZDirectory::Open(int mask) {
  Close();
  scanMask = mask;
  int error = 0;
  scan = zhost::OpenDirectory(IsEmpty() ? "." : Text(), error);
  if (scan == nullptr) {
    zhost::SetLastError(error);
    return false;
  }
  return Next();
}

bool ZDirectory::Next() {
  std::string name;
  while (scan != nullptr && zhost::ReadDirectory(scan, name)) {
    if (name == "." || name == "..") continue;
    ZFileInfo info;
    std::string full = std::string(Text()) + name;
    if (!ZFile::GetInfo(full.c_str(), info)) {
      // A dangling link or an entry that vanished: unknown type.
      info = ZFileInfo();
    }
    if (scanMask != AllEntries && (info.type & scanMask) == 0) continue;
    entryName = name.c_str();
    entryInfo = info;
    return true;
  }
  Close();
  entryName = ZString();
  entryInfo = ZFileInfo();
  return false;
}

ZString ZDirectory::GetVolume() const { return ZString(); }

bool ZDirectory::Exists(const char* name) {
  int error = 0;
  if (name == nullptr || !zhost::ChangeDirectory(name, error)) return Failed(error == 0 ? zhost::kNoSuchFile : error);
  return true;
}
