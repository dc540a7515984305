// What earlier starts found when they tuned each GPU (--tune-file): the
// chosen batch size and its rate, under a key of everything that decides
// them. The file is hostile input: bounded, strictly parsed, refused when it
// is not a regular file of ours, and replaced whole (temporary file, fsync,
// rename) so that a crash never leaves half of it.
#pragma once

#include <cstddef>
#include <map>
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

class TuneFile {
public:
    static constexpr std::size_t kMaxBytes = 64 * 1024;
    static constexpr std::size_t kMaxEntries = 64;
    static constexpr std::size_t kMaxFieldBytes = 256;
    // A remembered batch is used while the rate now is at most this share
    // below the remembered one.
    static constexpr double kRateMargin = 0.10;

    explicit TuneFile(std::string path) : path_(std::move(path)) {}

    // Reads the file. Empty when it was read or does not exist yet; else
    // why it cannot be used: nothing is then remembered, and the next save
    // replaces a file that could not be parsed but leaves alone one that
    // was refused (a link, a FIFO, another user's).
    std::string load();
    bool refused() const { return refused_; }
    std::optional<TunedBatch> find(const TuneKey& key) const;
    // Replaces or adds the entry of `key`.
    void remember(const TuneKey& key, int batch, double rate);
    // Writes every entry (nothing after a refusal). Empty on success, else
    // why not.
    std::string save() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<TunedBatch> entries_;
    bool refused_ = false;
};

// The file's text for `entries`, and back. Parsing is strict: any field,
// type, size or count out of place gives an error text and no entries.
std::string tune_file_text(const std::vector<TunedBatch>& entries);
[[nodiscard]] std::string parse_tune_file(const std::string& text, std::vector<TunedBatch>& entries);

// Reads a file that must be a regular file owned by this user, not a
// symlink nor a FIFO, of at most `maxBytes`. Empty on success, else why not;
// `missing` tells the one harmless failure, a file that does not exist.
[[nodiscard]] std::string read_own_file(const std::string& path, std::size_t maxBytes, std::string& text, bool& missing);
// Replaces `path` with `text` through a temporary file beside it, synced
// before the rename; the file is readable by this user alone.
[[nodiscard]] std::string replace_own_file(const std::string& path, const std::string& text);

}  // namespace quorlen::gpu
