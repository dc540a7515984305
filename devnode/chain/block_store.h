// The chain on disk: one accepted block per line, appended and flushed to the
// disk before the block is acknowledged. A last line torn by a crash (no line
// feed, or not a JSON object) is dropped when the file is opened.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class BlockStore {
public:
    // Opens (or creates) `path` and reads its blocks. Throws when a line
    // other than the last is unreadable: that is damage, not a torn write.
    explicit BlockStore(const std::string& path);
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    const std::vector<nlohmann::json>& loaded() const { return loaded_; }
    bool droppedTornLine() const { return droppedTorn_; }
    // Appends one block and waits until it is on the disk; throws on failure.
    void append(const nlohmann::json& block);

private:
    int fd_ = -1;
    std::vector<nlohmann::json> loaded_;
    bool droppedTorn_ = false;
};
