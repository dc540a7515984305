// What earlier starts found when they tuned each GPU (--tune-file): the
// chosen batch size and its rate, under a key of everything that decides
// them. The file is hostile input: bounded, strictly parsed, refused when it
// is not a regular file of ours that nobody else may change, and replaced
// whole (temporary file, fsync, rename) so that a crash never leaves half of
// it. Miners sharing it save under a lock, each replacing only its own
// entries.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlen::gpu {

// Field name to value: the device, the flavour and kernel settings, the
// Argon2 parameters, the program's version, the tuning options. Any
// difference is another key.
using TuneKey = std::map<std::string, std::string>;

struct TunedBatch {
    TuneKey key;
    int batch = 0;
    double rate = 0;  // hashes per second when it was chosen
};

// What a save did: why it wrote nothing (empty: written), and the entries
// that were in the file and are no longer, each said in a few words.
struct TuneFileSave {
    std::string problem;
    std::vector<std::string> lost;
};

// Safe to share between threads.
class TuneFile {
public:
    static constexpr std::size_t kMaxBytes = 64 * 1024;
    static constexpr std::size_t kMaxEntries = 64;
    static constexpr std::size_t kMaxFieldBytes = 256;
    // A remembered batch is used while the rate now is at most this share
    // below the remembered one.
    static constexpr double kRateMargin = 0.10;
    // A save waits this long for another miner's save to end; one holds the
    // lock for a read and a synced write, milliseconds.
    static constexpr int kLockWaitMs = 5000;

    explicit TuneFile(std::string path) : path_(std::move(path)) {}

    // Reads the file. Empty when it was read or does not exist yet; else
    // why it cannot be used: nothing is then remembered, and the next save
    // replaces a file that could not be parsed (and says so) but leaves
    // alone one that was refused (a link, a FIFO, another user's, one that
    // others may write or in a folder they may write).
    [[nodiscard]] std::string load();
    bool refused() const;
    std::optional<TunedBatch> find(const TuneKey& key) const;
    // Replaces or adds the entry of `key`, as this process's own.
    void remember(const TuneKey& key, int batch, double rate);
    // Under the lock beside the file (PATH.lock): reads the file again, puts
    // this process's own entries in it in place of those of the same keys,
    // keeps everyone else's, and writes it. Nothing after a refusal at
    // load; gives up waiting for the lock when `stop` is set.
    [[nodiscard]] TuneFileSave save(const std::atomic<bool>* stop = nullptr);
    const std::string& path() const { return path_; }

private:
    const std::string path_;
    mutable std::mutex mutex_;
    std::vector<TunedBatch> entries_;  // as last read or written, with ours
    std::vector<TunedBatch> own_;      // remembered by this process
    bool refused_ = false;
};

// The file's text for `entries`, and back. Parsing is strict: any field,
// type, size or count out of place gives an error text and no entries.
std::string tune_file_text(const std::vector<TunedBatch>& entries);
[[nodiscard]] std::string parse_tune_file(const std::string& text, std::vector<TunedBatch>& entries);

// Reads a file that must be a regular file owned by this user, not a
// symlink nor a FIFO, that neither its group nor others may write, in
// folders nobody but this user and root may change (argon2gpu/private_path.h),
// of at most `maxBytes`. Empty on success, else why not; `missing` tells the
// one harmless failure, a file that does not exist.
[[nodiscard]] std::string read_own_file(const std::string& path, std::size_t maxBytes, std::string& text, bool& missing);
// Replaces `path` with `text` through a temporary file beside it, synced
// before the rename; the file is readable by this user alone.
[[nodiscard]] std::string replace_own_file(const std::string& path, const std::string& text);

}  // namespace quorlen::gpu
