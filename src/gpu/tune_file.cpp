#include "gpu/tune_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "block/json_depth.h"

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

}  // namespace

std::string read_own_file(const std::string& path, std::size_t maxBytes, std::string& text, bool& missing) {
    missing = false;
    text.clear();
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
    if (st.st_uid != ::geteuid()) return "owned by another user (refused)";
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
    entries_.clear();
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

std::optional<TunedBatch> TuneFile::find(const TuneKey& key) const {
    for (const TunedBatch& e : entries_)
        if (e.key == key) return e;
    return std::nullopt;
}

void TuneFile::remember(const TuneKey& key, int batch, double rate) {
    for (TunedBatch& e : entries_)
        if (e.key == key) {
            e.batch = batch;
            e.rate = rate;
            return;
        }
    // Full: the oldest entry (a card long gone, old settings) makes room.
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.push_back({key, batch, rate});
}

std::string TuneFile::save() const { return refused_ ? "" : replace_own_file(path_, tune_file_text(entries_)); }

}  // namespace quorlen::gpu
