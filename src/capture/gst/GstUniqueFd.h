#pragma once

// A file descriptor with one owner, closed when the owner goes.

#include <unistd.h>

#include <utility>

class TUniqueFd {
  public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : Fd(fd) {}
    ~TUniqueFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TUniqueFd(TUniqueFd&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        TUniqueFd moved(std::move(other));
        std::swap(Fd, moved.Fd);
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return Fd; }
    explicit operator bool() const { return Fd >= 0; }

  private:
    int Fd = -1;
};
