// The folder shared with the preload library: the station state, the tables
// made from it, and the agent's event socket.
#pragma once

#include <string>
#include <vector>

#include "state.h"

namespace fakewifi {

// FAKEWIFI_DIR, or /tmp/fakewifi.
std::string default_dir();

// Holds an exclusive lock on DIR/lock (creating DIR) while it lives, so that
// two commands do not change the state at once.
class FolderLock {
  public:
    explicit FolderLock(const std::string &dir);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Whole file, at most `max` bytes; false if it cannot be read.
bool read_file(const std::string &path, std::string &out, size_t max);
// Through a temporary file and a rename: readers see the old or the new bytes.
bool write_file_atomic(const std::string &path, const std::string &bytes);

// A missing state file is no stations. False with a message in `error`.
bool load_stations(const std::string &dir, std::vector<Station> &out, std::string &error);
// Writes the state file and every interface's table.
bool save_stations(const std::string &dir, const std::vector<Station> &stations,
                   std::string &error);

// Sends one datagram to DIR/events.sock. False with a message in `error`.
bool deliver(const std::string &dir, const std::string &message, std::string &error);

}  // namespace fakewifi
