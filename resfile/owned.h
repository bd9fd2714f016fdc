// Owners for malloc'd blocks and descriptors, so that every path releases
// what it obtained.
#pragma once

#include <cstdlib>
#include <memory>

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

template <typename T>
using owned = std::unique_ptr<T, free_deleter>;
