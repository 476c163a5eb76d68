#include <sys/stat.h>

#include <cerrno>

#include "pack.h"

NativeError inspect_tree_entry(const std::filesystem::path& path, TreeEntry& entry) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return NativeError(errno);
    }
    if (S_ISLNK(status.st_mode)) {
        entry.kind = TreeEntryKind::link;
    } else if (S_ISDIR(status.st_mode)) {
        entry.kind = TreeEntryKind::directory;
    } else if (S_ISREG(status.st_mode)) {
        entry.kind = TreeEntryKind::regular;
        entry.mode = status.st_mode & 0777;
    } else {
        entry.kind = TreeEntryKind::special;
    }
    return {};
}

std::optional<std::string> name_as_utf8(const std::filesystem::path& name) {
    return name.native();
}
