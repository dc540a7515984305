// The chain on disk: one accepted block per line, appended and flushed to the
// disk before the block is acknowledged. The file is locked for as long as the
// store is open, so two nodes never write one chain. Only a last line without
// its line feed (a write torn by a crash) is dropped when the file is opened;
// whether the other lines hold valid blocks is the chain's question.
#pragma once

#include <string>
#include <vector>

class BlockStore {
public:
    struct Line {
        size_t number;  // from 1
        std::string text;
    };

    // Opens (or creates) `path`, locks it and reads its lines. Throws when it
    // cannot, or when another process holds the lock.
    explicit BlockStore(const std::string& path);
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    const std::string& path() const { return path_; }
    // The whole lines read at opening; released by `forget`.
    const std::vector<Line>& lines() const { return lines_; }
    void forget() { lines_ = {}; }
    // Bytes of a torn last line cut off at opening (0: none).
    size_t torn_bytes() const { return tornBytes_; }
    // Appends one line and waits until it is on the disk; throws on failure.
    void append(const std::string& line);

private:
    std::string path_;
    int fd_ = -1;
    std::vector<Line> lines_;
    size_t tornBytes_ = 0;
};
