// A file descriptor closed when it goes out of scope, and pipes made of them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "e2e_failure.h"

namespace qax::e2e {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Both ends are closed on exec; a child that needs one is given it explicitly.
inline Pipe OpenPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw E2eFailure("cannot make a pipe");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace qax::e2e
