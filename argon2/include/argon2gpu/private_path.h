// Whether a file or folder could be changed behind this user's back: what
// the OpenCL program cache and the miner's remembered tuning read is only
// trusted from places nobody else may write, so that another local user
// can neither plant a binary for the driver nor choose a batch size.
#pragma once

#include <sys/stat.h>

#include <string>

namespace argon2 {

// Empty when `st` (of `path`) is this user's and neither its group nor
// others may write it; else why not, naming `path`.
[[nodiscard]] std::string whyNotPrivate(const struct stat& st, const std::string& path);

// For a folder above one of ours: empty when nobody but this user and root
// can replace what it holds. Root's folders are fine (root may write
// anything anyway), and so is a folder everyone may write with the sticky
// bit (/tmp): there only an entry's owner may rename or remove it.
[[nodiscard]] std::string whyOthersMayReplace(const struct stat& st, const std::string& path);

}  // namespace argon2
