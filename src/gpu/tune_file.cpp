#include "gpu/tune_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "argon2gpu/private_path.h"
#include "block/json_depth.h"
#include "block/printable.h"

namespace quorlen::gpu {

namespace {

using nlohmann::json;

constexpr int kFormat = 1;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "/", "/a", "/a/b" for "/a/b".
std::vector<std::string> foldersDownTo(const std::string& folder) {
    std::vector<std::string> folders{"/"};
    for (std::size_t at = 1; at <= folder.size(); ++at)
        if ((at == folder.size() || folder[at] == '/') && folder[at - 1] != '/')
            folders.push_back(folder.substr(0, at));
    return folders;
}

// Each folder the file is reached through, as the path names them and as
// their links resolve: one that someone else may change lets them swap the
// file. A folder that does not exist yet can only be made by those who may
// write the one above it, which is checked.
std::string foldersOthersMayChange(const std::string& folder) {
    std::string named = folder;
    if (named.empty() || named[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) return errnoText("cannot find the working folder");
        named = std::string(cwd) + "/" + named;
    }
    std::vector<std::string> walks{named};
    if (char* resolved = ::realpath(named.c_str(), nullptr)) {
        walks.emplace_back(resolved);
        std::free(resolved);
    }
    for (const std::string& walk : walks)
        for (const std::string& at : foldersDownTo(walk)) {
            struct stat st{};
            if (::stat(at.c_str(), &st) != 0) {
                if (errno == ENOENT) break;
                return errnoText("cannot check " + at);
            }
            if (std::string problem = argon2::whyOthersMayReplace(st, at); !problem.empty()) return problem;
        }
    return "";
}

// An entry's key as a console line may show it.
std::string describe(const TuneKey& key) {
    std::string text = block::printable(json(key).dump(-1, ' ', false, json::error_handler_t::replace));
    if (text.size() > 200) text = text.substr(0, 200) + "...";
    return text;
}

// The lock every save holds: a file of its own beside the tune file, since
// each save replaces the tune file itself, and since anyone who may read a
// folder may lock it. Waits for another holder at most kLockWaitMs, and
// not at all once `stop` is set.
std::string lockBeside(const std::string& path, Fd& lock, const std::atomic<bool>* stop) {
    const std::string lockPath = path + ".lock";
    lock = Fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (lock.get() < 0)
        return errno == ELOOP ? lockPath + " is a symbolic link (refused)" : errnoText("cannot open " + lockPath);
    struct stat st{};
    if (::fstat(lock.get(), &st) != 0) return errnoText("cannot stat " + lockPath);
    if (!S_ISREG(st.st_mode)) return lockPath + " is not a regular file (refused)";
    if (std::string problem = argon2::whyNotPrivate(st, lockPath); !problem.empty()) return problem + " (refused)";
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(TuneFile::kLockWaitMs);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return errnoText("cannot lock " + lockPath);
        if (stop && stop->load()) return "stopped while another process held " + lockPath;
        if (std::chrono::steady_clock::now() >= giveUp)
            return lockPath + " held by another process for " + std::to_string(TuneFile::kLockWaitMs / 1000) + " s";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

}  // namespace

std::string read_own_file(const std::string& path, std::size_t maxBytes, std::string& text, bool& missing) {
    missing = false;
    text.clear();
    if (std::string problem = foldersOthersMayChange(directoryOf(path)); !problem.empty())
        return problem + " (refused)";
    // No following a link planted in our place; no blocking on a FIFO.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        missing = errno == ENOENT;
        if (errno == ELOOP) return "a symbolic link (refused)";
        return errnoText("cannot open");
    }
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return errnoText("cannot stat");
    if (!S_ISREG(st.st_mode)) return "not a regular file (refused)";
    if (std::string problem = argon2::whyNotPrivate(st, path); !problem.empty()) return problem + " (refused)";
    if (std::size_t(st.st_size) > maxBytes) return "larger than " + std::to_string(maxBytes) + " bytes";
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errnoText("cannot read");
        if (n == 0) break;
        text.append(buffer, std::size_t(n));
        if (text.size() > maxBytes) {  // it grew since fstat
            text.clear();
            return "larger than " + std::to_string(maxBytes) + " bytes";
        }
    }
    return "";
}

std::string replace_own_file(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    ::unlink(temporary.c_str());  // one a crash of ours left
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return errnoText("cannot create " + temporary);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string problem = errnoText("cannot write " + temporary);
            ::unlink(temporary.c_str());
            return problem;
        }
        done += std::size_t(n);
    }
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        const std::string problem = errnoText("cannot sync " + temporary);
        ::unlink(temporary.c_str());
        return problem;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string problem = errnoText("cannot rename " + temporary);
        ::unlink(temporary.c_str());
        return problem;
    }
    // The rename itself lasts once the directory is synced.
    const Fd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return "";
}

std::string tune_file_text(const std::vector<TunedBatch>& entries) {
    json gpus = json::array();
    for (const TunedBatch& e : entries) gpus.push_back({{"key", e.key}, {"batch", e.batch}, {"rate", e.rate}});
    return json{{"format", kFormat}, {"gpus", gpus}}.dump(1) + "\n";
}

std::string parse_tune_file(const std::string& text, std::vector<TunedBatch>& entries) {
    entries.clear();
    if (text.size() > TuneFile::kMaxBytes) return "larger than " + std::to_string(TuneFile::kMaxBytes) + " bytes";
    json doc;
    try {
        doc = block::parse_untrusted(text, 4);
    } catch (const std::exception& e) {
        return std::string("not a tuning file: ") + e.what();
    }
    const auto exactly = [](const json& o, std::initializer_list<const char*> names) {
        if (!o.is_object() || o.size() != names.size()) return false;
        for (const char* n : names)
            if (!o.contains(n)) return false;
        return true;
    };
    if (!exactly(doc, {"format", "gpus"}) || !doc["format"].is_number_unsigned() || doc["format"] != kFormat ||
        !doc["gpus"].is_array())
        return "not a tuning file of format " + std::to_string(kFormat);
    if (doc["gpus"].size() > TuneFile::kMaxEntries)
        return "more than " + std::to_string(TuneFile::kMaxEntries) + " entries";
    std::vector<TunedBatch> read;
    for (const json& g : doc["gpus"]) {
        const std::string where = "entry " + std::to_string(read.size() + 1) + ": ";
        if (!exactly(g, {"key", "batch", "rate"})) return where + "not {key, batch, rate}";
        if (!g["key"].is_object() || g["key"].empty() || g["key"].size() > 32) return where + "bad key";
        TunedBatch e;
        for (const auto& [name, value] : g["key"].items()) {
            if (!value.is_string() || name.size() > TuneFile::kMaxFieldBytes ||
                value.get_ref<const std::string&>().size() > TuneFile::kMaxFieldBytes)
                return where + "bad key field \"" + name.substr(0, 64) + "\"";
            e.key[name] = value.get<std::string>();
        }
        if (!g["batch"].is_number_integer() || g["batch"].get<long long>() < 1 ||
            g["batch"].get<long long>() > 2147483647)
            return where + "batch is not a whole number from 1 up";
        if (!g["rate"].is_number() || !std::isfinite(g["rate"].get<double>()) || g["rate"].get<double>() <= 0)
            return where + "rate is not a number above 0";
        e.batch = g["batch"].get<int>();
        e.rate = g["rate"].get<double>();
        for (const TunedBatch& other : read)
            if (other.key == e.key) return where + "a key given twice";
        read.push_back(std::move(e));
    }
    entries = std::move(read);
    return "";
}

std::string TuneFile::load() {
    const std::lock_guard<std::mutex> hold(mutex_);
    entries_.clear();
    own_.clear();
    refused_ = false;
    std::string text;
    bool missing = false;
    const std::string problem = read_own_file(path_, kMaxBytes, text, missing);
    if (missing) return "";
    if (!problem.empty()) {
        refused_ = true;
        return problem;
    }
    return parse_tune_file(text, entries_);
}

bool TuneFile::refused() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return refused_;
}

std::optional<TunedBatch> TuneFile::find(const TuneKey& key) const {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (const TunedBatch& e : entries_)
        if (e.key == key) return e;
    return std::nullopt;
}

namespace {

// `entry` in place of any of its key, as the newest.
void putNewest(std::vector<TunedBatch>& entries, const TunedBatch& entry) {
    std::erase_if(entries, [&](const TunedBatch& e) { return e.key == entry.key; });
    entries.push_back(entry);
}

}  // namespace

void TuneFile::remember(const TuneKey& key, int batch, double rate) {
    const std::lock_guard<std::mutex> hold(mutex_);
    putNewest(own_, {key, batch, rate});
    putNewest(entries_, {key, batch, rate});
}

TuneFileSave TuneFile::save(const std::atomic<bool>* stop) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (refused_ || own_.empty()) return {};
    TuneFileSave result;
    // Before the lock file is made beside it.
    if (result.problem = foldersOthersMayChange(directoryOf(path_)); !result.problem.empty()) {
        result.problem += " (refused)";
        return result;
    }
    Fd lock(-1);
    if (result.problem = lockBeside(path_, lock, stop); !result.problem.empty()) return result;

    // What the file holds now: other miners may have saved since it was
    // loaded.
    std::string text;
    bool missing = false;
    if (result.problem = read_own_file(path_, kMaxBytes, text, missing); !result.problem.empty() && !missing)
        return result;
    result.problem.clear();
    std::vector<TunedBatch> entries;
    if (!missing)
        if (const std::string damage = parse_tune_file(text, entries); !damage.empty())
            result.lost.push_back("replaced a file that could not be read (" + damage + "); whatever it held is lost");
    for (const TunedBatch& e : own_) putNewest(entries, e);
    // Full: the oldest entries of others (a card long gone, old settings)
    // make room; ours only when they alone are too many.
    while (entries.size() > kMaxEntries) {
        auto oldest = std::find_if(entries.begin(), entries.end(), [&](const TunedBatch& e) {
            return std::none_of(own_.begin(), own_.end(), [&](const TunedBatch& o) { return o.key == e.key; });
        });
        if (oldest == entries.end()) oldest = entries.begin();
        result.lost.push_back("full (" + std::to_string(kMaxEntries) + " entries): dropped the oldest, " +
                              describe(oldest->key));
        entries.erase(oldest);
    }
    if (result.problem = replace_own_file(path_, tune_file_text(entries)); !result.problem.empty()) {
        result.lost.clear();  // the file is as it was
        return result;
    }
    entries_ = std::move(entries);
    return result;
}

}  // namespace quorlen::gpu
