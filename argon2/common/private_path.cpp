#include "argon2gpu/private_path.h"

#include <unistd.h>

#include <cstdio>

namespace argon2 {

namespace {

std::string ownedByOther(const struct stat& st, const std::string& path, const char* besides) {
    return path + " is owned by uid " + std::to_string(st.st_uid) + ", not by this user (uid " +
           std::to_string(geteuid()) + ")" + besides;
}

std::string writableByOthers(const struct stat& st, const std::string& path) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    return path + " may be written by its group or others (mode " + mode + ")";
}

}  // namespace

std::string whyNotPrivate(const struct stat& st, const std::string& path) {
    if (st.st_uid != geteuid()) return ownedByOther(st, path, "");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return writableByOthers(st, path);
    return "";
}

std::string whyOthersMayReplace(const struct stat& st, const std::string& path) {
    if (st.st_uid != geteuid() && st.st_uid != 0) return ownedByOther(st, path, " or root");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) return writableByOthers(st, path);
    return "";
}

}  // namespace argon2
