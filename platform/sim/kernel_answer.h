// How the simulated kernel's calls answer: -1 with errno, fixed-size text fields NUL-padded.
#ifndef TOLVA_SIM_KERNEL_ANSWER_H
#define TOLVA_SIM_KERNEL_ANSWER_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace tolva::sim {

inline int fails_with(int error)
{
    errno = error;
    return -1;
}

// `text` into a UAPI name field (char or __u8), cut to leave its terminating NUL.
template <typename Char, std::size_t N> void copy_text(Char (&to)[N], const std::string &text)
{
    std::memset(to, 0, N);
    std::memcpy(to, text.data(), std::min(text.size(), N - 1));
}

} // namespace tolva::sim

#endif
