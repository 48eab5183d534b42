#pragma once

// An ioctl on a V4L2 device node, tried again when a signal interrupted it.

#include <sys/ioctl.h>

#include <cerrno>

inline int V4l2Ioctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do
        result = ::ioctl(fd, request, argument);
    while (result == -1 && errno == EINTR);
    return result;
}
